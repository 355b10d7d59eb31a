"""vrdview from a plain HTTP client: what it refuses (no token, another
Host, paths out of the page's folder, methods that write), where it listens,
its answers for damaged and refused files, and its command line."""
import http.client
import os
import shutil
import signal
import struct
import subprocess

import psutil

from conftest import VRDVIEW, served


def request(port, path, host=None, method="GET", token=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Host": host or f"127.0.0.1:{port}"}
    if token:
        headers["X-Vrdview-Token"] = token
    c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    for k, v in headers.items():
        c.putheader(k, v)
    c.endheaders()
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


def test_security_refusals(volumes, tmp_path):
    web = tmp_path / "web"
    shutil.copytree(os.environ["VRDVIEW_WEB_SOURCE"], web)
    (tmp_path / "secret.txt").write_text("secret")
    os.symlink(tmp_path / "secret.txt", web / "out.txt")
    os.symlink(tmp_path, web / "up")
    before = sorted(os.listdir(volumes))
    with served(["a.vrd"], volumes, env={"VRDVIEW_WEB": str(web)}) as (url, port, p):
        token = url.split("token=")[1]
        # Listens on 127.0.0.1 only.
        listening = [c.laddr for c in psutil.Process(p.pid).connections() if c.status == psutil.CONN_LISTEN]
        assert listening == [("127.0.0.1", port)], listening
        ok = f"/?token={token}"
        assert request(port, ok)[0] == 200
        assert request(port, "/api/info", token=token)[0] == 200
        assert request(port, f"/?token={token}", host=f"localhost:{port}")[0] == 200
        # No token, a wrong one, a Host other than this server's.
        assert request(port, "/")[0] == 403
        assert request(port, "/api/info")[0] == 403
        assert request(port, "/?token=" + "0" * 32)[0] == 403
        for host in (f"evil.example:{port}", "127.0.0.1", f"127.0.0.1:{port + 1}", f"localhost.evil:{port}"):
            assert request(port, ok, host=host)[0] == 403, host
        # Only the page's own files.
        for path in ("/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/%2E%2E/secret.txt", "/..%2fsecret.txt",
                     "//etc/passwd", "/out.txt", "/up/secret.txt", "/./index.html", "/a.vrd", "/missing.js",
                     "/%00index.html"):
            status, body = request(port, path, token=token)
            assert status == 404 and b"secret" not in body and b"root:" not in body, (path, status, body[:80])
        # Nothing that writes.
        for method in ("POST", "PUT", "DELETE"):
            assert request(port, "/api/info", method=method, token=token)[0] in (400, 404, 405), method
    assert sorted(os.listdir(volumes)) == before


def test_command_line(volumes, tmp_path):
    r = subprocess.run([VRDVIEW, "--version"], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.startswith("vrdview (vrd) ")
    r = subprocess.run([VRDVIEW], capture_output=True, text=True)
    assert r.returncode == 255
    r = subprocess.run([VRDVIEW, "--port", "0", "a.vrd"], capture_output=True, text=True, cwd=volumes)
    assert r.returncode == 255 and "the port must be a whole number" in r.stderr
    # A port given is the port used.
    with served(["a.vrd"], volumes) as (_, port, _p):
        pass
    with served(["--port", str(port), "a.vrd"], volumes) as (url, used, _p):
        assert used == port
        # A second server cannot have the same port.
        r = subprocess.run([VRDVIEW, "--no-browser", "--port", str(port), "a.vrd"], capture_output=True, text=True,
                           cwd=volumes, timeout=20)
        assert r.returncode == 255 and "cannot listen" in r.stderr


def test_installed_program_finds_its_page(volumes, tmp_path):
    """An installed tree, moved elsewhere, still serves its page."""
    subprocess.run(["cmake", "--install", os.environ["VRD_BUILD_DIR"], "--prefix", str(tmp_path / "installed")],
                   check=True, capture_output=True)
    os.rename(tmp_path / "installed", tmp_path / "moved")
    program = tmp_path / "moved" / "bin" / "vrdview"
    env = {k: v for k, v in os.environ.items() if k != "VRDVIEW_WEB"}
    p = subprocess.Popen([program, "--no-browser", "a.vrd"], cwd=volumes, stdout=subprocess.PIPE, text=True, env=env)
    try:
        url = p.stdout.readline().strip()
        port, token = int(url.split(":")[2].split("/")[0]), url.split("token=")[1]
        status, body = request(port, "/", token=token)
        assert status == 200 and b"vrdview.js" in body
        assert request(port, "/vrdview.js", token=token)[0] == 200
    finally:
        p.send_signal(signal.SIGINT)
        assert p.wait(timeout=20) == 0


def get_json(port, path, token):
    import json
    status, body = request(port, path, token=token)
    return status, json.loads(body)


def until_done(port, token):
    import time
    for _ in range(600):
        status, info = get_json(port, "/api/info", token)
        assert status == 200
        if all(f.get("phase") == "done" or "refused" in f for f in info["files"]) and \
                ("difference" not in info or "refused" in info["difference"] or "differing" in info["difference"]):
            return info
        time.sleep(0.05)
    raise AssertionError("the files were never read through")


def test_api_answers(volumes):
    with served(["damaged.vrd", "b.vrd"], volumes) as (url, port, _p):
        token = url.split("token=")[1]
        info = until_done(port, token)
        damaged = info["files"][0]
        assert damaged["status"] == "damaged" and damaged["verdict"] == "damaged: 1 of 20 slices not read whole"
        assert damaged["firstDamage"].startswith("slice 7: ")
        assert "64 x 48 x 20 voxels" in damaged["words"] and len(damaged["histogram"]) == 256
        # Slice 7 (in b's box of 80 voxels a slice) cannot be compared: 4 slices of the box are.
        assert info["difference"] == {"compared": 20, "uncompared": 1, "differing": 320}
        # Its zeros are no values of the volume: not in the histogram, and marked in the side planes.
        assert sum(damaged["histogram"]) == 19 * 64 * 48
        for query, rows in (("axis=x&i=10&f=0&w=0,1,2,3", "7-7"), ("axis=y&i=3&diff=1", "7-7"),
                            ("axis=y&i=3&f=1&w=0,1,2,3", None), ("axis=z&i=8&f=0&w=0,1,2,3", None)):
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", "/api/plane?" + query, headers={"X-Vrdview-Token": token})
            r = c.getresponse()
            r.read()
            assert r.status == 200 and r.getheader("X-Damaged-Rows") == rows, query
            c.close()

        status, body = request(port, "/api/plane?axis=z&i=3&f=1&w=0,100,200,300", token=token)
        assert status == 200
        values = struct.unpack(f"{64 * 48}f", body)
        assert values[7 * 64 + 5] == struct.unpack("f", struct.pack("f", (5 + 14 + 30) / 100))[0]
        assert values[47 * 64 + 63] == 1.0 and values[0] == struct.unpack("f", struct.pack("f", 0.3))[0]
        status, body = request(port, "/api/plane?axis=x&i=10&f=1&w=0,100,200,300", token=token)
        assert status == 200 and len(body) == 48 * 20 * 4
        status, body = request(port, "/api/plane?axis=z&i=5&diff=1", token=token)
        diff = struct.unpack(f"{64 * 48}f", body)
        assert sum(d != 0 for d in diff) == 80 and diff[10 * 64 + 12] == 100 * (12 + 20 + 50 + 1000)

        status, body = get_json(port, "/api/plane?axis=z&i=7&w=0,1,2,3", token)
        assert status == 422 and body["message"].startswith("slice 7: ")
        assert request(port, "/api/plane?axis=z&i=8&w=0,1,2,3", token=token)[0] == 200
        for bad in ("axis=z&i=3&w=0,1,2", "axis=z&i=3&w=0,1,2,x", "axis=q&i=3&w=0,1,2,3", "axis=z&w=0,1,2,3",
                    "axis=z&i=3&f=7&w=0,1,2,3", "axis=z&i=99999999999&w=0,1,2,3"):
            assert request(port, "/api/plane?" + bad, token=token)[0] in (400, 422), bad
        assert request(port, "/api/plane?axis=z&i=20&w=0,1,2,3", token=token)[0] == 422
        assert request(port, "/api/plane?axis=y&i=-1&w=0,1,2,3", token=token)[0] == 422
        status, body = get_json(port, "/api/value?f=1&x=5&y=7&z=3", token)
        assert status == 200 and body["value"] == "49" and body["position"] == [2.5, 3.5, 6] and body["units"] == "mm"
        assert request(port, "/api/value?f=1&x=64&y=0&z=0", token=token)[0] == 422

    with served(["a.vrd", "refused.vrd"], volumes) as (url, port, p):
        token = url.split("token=")[1]
        info = until_done(port, token)
        assert info["files"][1]["refused"] == "unknown 'dtype' value"
        assert info["files"][1]["verdict"] == "refused: unknown 'dtype' value"
        assert info["difference"]["refused"] == "refused.vrd: unknown 'dtype' value"
        assert request(port, "/api/plane?axis=z&i=3&f=1&w=0,1,2,3", token=token)[0] == 422
        assert request(port, "/api/plane?axis=z&i=3&diff=1", token=token)[0] == 422
    # The refusals reach the page, not the server's terminal.
    assert "vrdinfo" not in p.stderr.read()


def test_reduced_copy_under_a_small_budget(tmp_path):
    """A volume larger than its share of the budget: coronal and sagittal
    planes hold every second voxel, with the values of the axial planes."""
    subprocess.run([os.environ["VRD_BENCH_VOLUME"], str(tmp_path / "v.vrd"), "256", "256", "64", "zlib"], check=True)
    with served(["--budget", "16", "v.vrd"], tmp_path) as (url, port, p):
        token = url.split("token=")[1]
        info = until_done(port, token)
        assert info["files"][0]["step"] == 2
        w = "w=-100,0,100,800"
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", f"/api/plane?axis=y&i=10&{w}", headers={"X-Vrdview-Token": token})
        r = c.getresponse()
        coronal = r.read()
        assert r.status == 200 and r.getheader("X-Step") == "2"
        assert (r.getheader("X-Width"), r.getheader("X-Height")) == ("128", "32")
        coronal = struct.unpack(f"{128 * 32}f", coronal)
        status, body = request(port, f"/api/plane?axis=x&i=30&{w}", token=token)
        sagittal = struct.unpack(f"{128 * 32}f", body)
        for row in (0, 7, 31):
            status, body = request(port, f"/api/plane?axis=z&i={2 * row}&{w}", token=token)
            axial = struct.unpack(f"{256 * 256}f", body)
            for col in (0, 33, 127):
                assert coronal[row * 128 + col] == axial[10 * 256 + 2 * col]
                assert sagittal[row * 128 + col] == axial[2 * col * 256 + 30]
        # Memory stays within the budget and what the server needs besides.
        assert psutil.Process(p.pid).memory_info().rss < 200 * 2**20


def test_answers_go_uncompressed(volumes):
    """Nothing is compressed on loopback, where it only costs time."""
    with served(["a.vrd"], volumes) as (url, port, _p):
        token = url.split("token=")[1]
        until_done(port, token)
        for path in ("/", "/vrdview.js", "/vrdview.css", "/api/info", "/api/value?x=1&y=1&z=1"):
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", path, headers={"X-Vrdview-Token": token, "Accept-Encoding": "br, gzip, deflate"})
            r = c.getresponse()
            r.read()
            assert r.status == 200 and r.getheader("Content-Encoding") is None, path
