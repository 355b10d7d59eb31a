"""vrd volumes as Dask arrays, on a real two-process cluster on loopback:
stores whose blocks are those volmap and volcmp write, the batch script,
a worker killed while a store runs, and damaged inputs."""

import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import pytest
from distributed import Client, LocalCluster

import vrd

VOLMAP, VOLCMP = os.environ["VOLMAP"], os.environ["VOLCMP"]
BATCH = Path(__file__).resolve().parents[2] / "examples" / "python" / "window_batch.py"
WINDOW = (20.0, 60.0, 120.0, 180.0)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                      host="127.0.0.1", silence_logs=50) as cluster, Client(cluster) as c:
        yield c


@pytest.fixture
def cluster(client):
    """The module's client with both workers up (a test may have killed one)."""
    client.wait_for_workers(2, timeout=120)
    return client


def ct_like(shape, seed):
    rng = np.random.default_rng(seed)
    z, y, x = np.indices(shape)
    return (100 + 60 * np.sin(x / 7.0) * np.cos(y / 5.0 + z / 9.0) + rng.normal(0, 8, shape)).astype(np.float32)


def blocks(path):
    """A file's slice blocks: everything from the first block on."""
    with vrd.open(path) as vol:
        first = int(vol.block_offsets[0])
    return Path(path).read_bytes()[first:]


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if ".partial" in p.name)


def run(*args, env=None):
    subprocess.run([str(a) for a in args], check=True, capture_output=True, env=env)


@pytest.mark.parametrize("deflate", [None, "libdeflate"])
def test_window_on_cluster_writes_volmaps_blocks(cluster, tmp_path, deflate):
    src = tmp_path / "ct.vrd"
    values = ct_like((29, 40, 36), 1)
    vrd.write(src, values, spacing=(0.5, 0.5, 1.25))
    env = dict(os.environ)
    env["VRD_DEFLATE"] = deflate or "zlib"
    run(VOLMAP, src, tmp_path / "volmap.vrd", *WINDOW, env=env)

    # Uneven chunks: the last holds 29 % 4 slices, the icon's slice is inside one.
    windowed = vrd.to_dask(src, slices_per_chunk=4).map_blocks(vrd.window, *WINDOW, dtype=np.float32)
    vrd.store(windowed, tmp_path / "out.vrd", spacing=(0.5, 0.5, 1.25), deflate=deflate, chunks_in_flight=3)
    assert blocks(tmp_path / "out.vrd") == blocks(tmp_path / "volmap.vrd")
    # The whole file, icon and header included, is what vrd.write writes.
    vrd.write(tmp_path / "write.vrd", vrd.window(values, *WINDOW), spacing=(0.5, 0.5, 1.25), deflate=deflate)
    assert (tmp_path / "out.vrd").read_bytes() == (tmp_path / "write.vrd").read_bytes()
    assert leftovers(tmp_path) == []


def test_compare_of_differently_chunked_arrays_writes_volcmps_blocks(cluster, tmp_path):
    a = ct_like((21, 33, 30), 2)
    b = a.copy()
    b[5:9, 10:20, 3:12] += 0.5
    b[17] = -b[17]
    vrd.write(tmp_path / "a.vrd", a)
    vrd.write(tmp_path / "b.vrd", b, compression="none", endian="big")
    run(VOLCMP, tmp_path / "a.vrd", tmp_path / "b.vrd", "-", "-", tmp_path / "volcmp.vrd")

    # blockwise brings the two chunkings together before comparing.
    diff = da.blockwise(vrd.compare, "zyx", vrd.to_dask(tmp_path / "a.vrd", slices_per_chunk=5), "zyx",
                        vrd.to_dask(tmp_path / "b.vrd", slices_per_chunk=3), "zyx", dtype=np.float32)
    vrd.store(diff, tmp_path / "out.vrd")
    assert blocks(tmp_path / "out.vrd") == blocks(tmp_path / "volcmp.vrd")


def test_batch_script_windows_every_file_on_the_cluster(cluster, tmp_path):
    inputs = []
    for i, shape in enumerate([(9, 20, 24), (16, 31, 17), (5, 12, 12)]):
        inputs.append(tmp_path / f"scan{i}.vrd")
        vrd.write(inputs[-1], ct_like(shape, 10 + i), spacing=0.75, comments=[f"scan {i}"],
                  compression=["zlib", "none"][i % 2])
    out = tmp_path / "windowed"
    address = cluster.scheduler.address
    result = subprocess.run([sys.executable, BATCH, "--scheduler", address, *map(str, WINDOW), out, *inputs],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    for src in inputs:
        run(VOLMAP, src, tmp_path / "volmap.vrd", *WINDOW)
        assert (out / src.name).read_bytes() == (tmp_path / "volmap.vrd").read_bytes()
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name for p in inputs)

    # One unreadable input: the others are still written, the status says so.
    (tmp_path / "scan1.vrd").write_bytes(b"P5\n1 1\n")
    for p in out.iterdir():
        p.unlink()
    result = subprocess.run([sys.executable, BATCH, "--scheduler", address, *map(str, WINDOW), out, *inputs],
                            capture_output=True, text=True)
    assert result.returncode == 1
    assert "scan1.vrd" in result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["scan0.vrd", "scan2.vrd"]


def test_settings_of_the_calling_process_reach_the_workers(cluster, tmp_path, monkeypatch):
    # The workers started without this; blocks must still be deflated with it.
    monkeypatch.setenv("VRD_DEFLATE", "zlib:1")
    values = ct_like((11, 24, 20), 7)
    for compression in ("none", "zlib"):
        vrd.write(tmp_path / "src.vrd", values, spacing=(1.0, 1.0, 3.0), compression=compression,
                  comments=["from the scanner"])
        with vrd.open(tmp_path / "src.vrd") as vol:
            header = vol.header
        vrd.store(vrd.to_dask(tmp_path / "src.vrd", slices_per_chunk=3) - 1, tmp_path / "out.vrd", header=header)
        vrd.write(tmp_path / "write.vrd", values - 1, header=header)
        assert (tmp_path / "out.vrd").read_bytes() == (tmp_path / "write.vrd").read_bytes()


def damage(path, z):
    """Overwrites the middle of slice z's zlib stream."""
    with vrd.open(path) as vol:
        offset = int(vol.block_offsets[z])
    data = bytearray(Path(path).read_bytes())
    length = int.from_bytes(data[offset:offset + 4], "big")
    middle = offset + 4 + length // 2
    data[middle:middle + 16] = b"\xff" * 16
    Path(path).write_bytes(bytes(data))


def test_damaged_or_cut_input_fails_the_store_and_leaves_no_output(cluster, tmp_path):
    src = tmp_path / "ct.vrd"
    vrd.write(src, ct_like((20, 30, 30), 3))
    damage(src, 13)
    out = tmp_path / "out.vrd"
    windowed = vrd.to_dask(src, slices_per_chunk=3).map_blocks(vrd.window, *WINDOW, dtype=np.float32)
    with pytest.raises(Exception, match=r"ct\.vrd.*\bslice 13\b"):
        vrd.store(windowed, out)
    assert not out.exists() and leftovers(tmp_path) == []

    # An older output stays as it was.
    out.write_bytes(b"old output")
    with pytest.raises(Exception, match=r"ct\.vrd.*\bslice 13\b"):
        vrd.store(windowed, out)
    assert out.read_bytes() == b"old output" and leftovers(tmp_path) == []

    # A file cut inside slice 6: the chunk that needs it fails.
    vrd.write(src, ct_like((20, 30, 30), 3))
    with vrd.open(src) as vol:
        cut = int(vol.block_offsets[6]) + 10
    os.truncate(src, cut)
    out.unlink()
    with pytest.raises(Exception, match=r"ct\.vrd.*\bslice 6\b"):
        vrd.store(vrd.to_dask(src, slices_per_chunk=4) * 2, out)
    assert not out.exists() and leftovers(tmp_path) == []


def slow_window_killing_once(marker):
    """vrd.window that takes a while; the first task past slice 8 names its
    worker process in `marker` and takes longer, to be killed meanwhile."""
    def window(block, block_info=None):
        if block_info[0]["array-location"][0][0] >= 8:
            try:
                fd = os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
                os.write(fd, str(os.getpid()).encode())
                os.close(fd)
                time.sleep(2)
            except FileExistsError:
                pass
        time.sleep(0.2)
        return vrd.window(block, *WINDOW)
    return window


def store_killing_a_worker(client, tmp_path):
    """Stores a slow window and kills the worker process of one task on the
    way; returns (what the store raised or None, whether it was still running
    at the kill)."""
    src = tmp_path / "ct.vrd"
    vrd.write(src, ct_like((24, 32, 32), 4))
    marker = tmp_path / "marker"
    windowed = vrd.to_dask(src, slices_per_chunk=2).map_blocks(slow_window_killing_once(marker), dtype=np.float32)
    finished = threading.Event()
    running_at_kill = []

    def killer():
        for _ in range(600):
            if finished.is_set():
                return
            if marker.exists() and marker.read_text():
                running_at_kill.append(not finished.is_set())
                os.kill(int(marker.read_text()), signal.SIGKILL)
                return
            time.sleep(0.05)

    thread = threading.Thread(target=killer)
    thread.start()
    try:
        vrd.store(windowed, tmp_path / "out.vrd", chunks_in_flight=4)
        error = None
    except Exception as e:
        error = e
    finally:
        finished.set()
        thread.join()
    return error, running_at_kill == [True]


def test_killed_worker_is_rerun_and_the_output_is_whole(cluster, tmp_path):
    error, killed_while_running = store_killing_a_worker(cluster, tmp_path)
    assert killed_while_running
    assert error is None
    vrd.write(tmp_path / "write.vrd", vrd.window(ct_like((24, 32, 32), 4), *WINDOW))
    assert (tmp_path / "out.vrd").read_bytes() == (tmp_path / "write.vrd").read_bytes()
    assert leftovers(tmp_path) == []


def test_killed_worker_with_no_retries_left_leaves_no_output(cluster, tmp_path):
    scheduler = cluster.cluster.scheduler
    allowed, scheduler.allowed_failures = scheduler.allowed_failures, 0
    try:
        error, killed_while_running = store_killing_a_worker(cluster, tmp_path)
    finally:
        scheduler.allowed_failures = allowed
    assert killed_while_running
    assert error is not None and "KilledWorker" in type(error).__name__
    assert not (tmp_path / "out.vrd").exists() and leftovers(tmp_path) == []


def test_default_scheduler_and_numpy_arrays(tmp_path):
    values = ct_like((13, 17, 19), 5)
    vrd.write(tmp_path / "ct.vrd", values, endian="big", spacing=2.0)
    vrd.write(tmp_path / "write.vrd", vrd.window(values, *WINDOW), endian="big", spacing=2.0)
    with dask.config.set(scheduler="threads"):
        arr = vrd.to_dask(tmp_path / "ct.vrd", slices_per_chunk=2)
        assert arr.shape == (13, 17, 19) and arr.dtype == np.float32 and arr.chunks[0] == (2,) * 6 + (1,)
        np.testing.assert_array_equal(arr[3:9].compute(), values[3:9])
        vrd.store(arr.map_blocks(vrd.window, *WINDOW, dtype=np.float32), tmp_path / "out.vrd",
                  endian="big", spacing=2.0, chunks_in_flight=3)
    assert (tmp_path / "out.vrd").read_bytes() == (tmp_path / "write.vrd").read_bytes()
    vrd.store(vrd.window(values, *WINDOW), tmp_path / "numpy.vrd", endian="big", spacing=2.0)
    assert (tmp_path / "numpy.vrd").read_bytes() == (tmp_path / "write.vrd").read_bytes()

    # A chunk of another type than the array declares is refused, not written.
    wrong = arr.map_blocks(lambda b: b.astype(np.float64), dtype=np.float32)
    with dask.config.set(scheduler="threads"), pytest.raises(TypeError, match="float64"):
        vrd.store(wrong, tmp_path / "wrong.vrd")
    assert not (tmp_path / "wrong.vrd").exists() and leftovers(tmp_path) == []


def test_graph_holds_offsets_not_voxels(tmp_path):
    values = ct_like((40, 64, 64), 6)
    vrd.write(tmp_path / "ct.vrd", values, compression="none")
    arr = vrd.to_dask(tmp_path / "ct.vrd")
    assert arr.chunks[0] == (40,)  # 640 KiB: one chunk
    arr = vrd.to_dask(tmp_path / "ct.vrd", slices_per_chunk=8)
    assert len(pickle.dumps(dict(arr.__dask_graph__()))) < 4096 < values.nbytes // 100
    # Another file at the same path is another array.
    vrd.write(tmp_path / "ct.vrd", values[:20], compression="none")
    assert vrd.to_dask(tmp_path / "ct.vrd", slices_per_chunk=8).name != arr.name
