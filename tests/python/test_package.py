"""The package's lazy volumes, blocks and writer against whole reads and the
programs; faults in a separate interpreter that must survive them silently;
reads and writes from several threads."""

import os
import subprocess
import sys
import textwrap
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vrd

VOLMAP, VOLCMP = os.environ["VOLMAP"], os.environ["VOLCMP"]
TYPES = ["u1", "i1", "<u2", ">i2", "u4", ">i4", "<f4", ">f8"]


def volume(dtype="f4", shape=(9, 6, 5), seed=1):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) * 50).astype(dtype)


def blocks_of(path):
    """The slice blocks of a file as bytes, found through the library's index."""
    with vrd.open(path) as v:
        offsets = v.block_offsets
    data = open(path, "rb").read()
    return [data[o:o + 4 + int.from_bytes(data[o:o + 4], "big")] for o in offsets]


@pytest.mark.parametrize("compression", ["zlib", "none"])
@pytest.mark.parametrize("endian", ["little", "big"])
def test_lazy_indexing_gives_what_the_whole_read_gives(tmp_path, compression, endian):
    a = volume("i2", (11, 7, 6))
    path = tmp_path / "v.vrd"
    vrd.write(path, a, compression=compression, endian=endian)
    header, whole = vrd.read(path)
    np.testing.assert_array_equal(a, whole)
    with vrd.open(path) as v:
        assert (v.shape, v.dtype, v.ndim, len(v), v.nbytes) == ((11, 7, 6), np.dtype("i2"), 3, 11, a.nbytes)
        assert v.header == header
        keys = [3, -1, np.int64(4), slice(2, 9), slice(None, None, 3), slice(8, 1, -2), slice(5, 5),
                [7, 0, 7], np.array([True] * 5 + [False] * 6), (4, slice(1, 5), slice(2, 6)),
                (slice(0, 11, 4), 3), (Ellipsis, 2), (slice(1, 3), Ellipsis, slice(0, 2))]
        for key in keys:
            np.testing.assert_array_equal(whole[key], v[key], err_msg=repr(key))
        np.testing.assert_array_equal(whole, np.asarray(v))
        np.testing.assert_array_equal(whole[2:5], v.read(2, 5))
        for bad in [11, -12, (0, 0, 0, 0), 1.5, [0, 12]]:
            with pytest.raises(IndexError):
                v[bad]
        offsets = v.block_offsets
        assert offsets.dtype == np.int64 and offsets.shape == (11,)
        np.testing.assert_array_equal(whole[4:8], vrd.read_blocks(path, 4, offsets[4:8]))
        out = np.zeros((2, 7, 6), "i2")
        assert vrd.read_blocks(path, 0, offsets[:2], out=out) is out
        np.testing.assert_array_equal(whole[:2], out)
    with pytest.raises(ValueError, match="closed"):
        v[0]


def test_encoded_blocks_and_writer_give_the_bytes_of_write(tmp_path):
    for dtype in TYPES:
        a = volume(dtype)
        for kw in [{}, {"compression": "none", "endian": "big"}, {"deflate": "libdeflate:3"}]:
            one, two = tmp_path / "one.vrd", tmp_path / "two.vrd"
            vrd.write(one, a, spacing=(0.5, 1, 2), comments=["c"], **kw)
            with vrd.Writer(two, a.shape, a.dtype, spacing=(0.5, 1, 2), comments=["c"], **kw) as w:
                w.write_slices(a[:3])
                w.set_preview(a[a.shape[0] // 2])
                w.write_blocks(vrd.encode_blocks(a[3:], **w.encoding))
            assert one.read_bytes() == two.read_bytes(), (dtype, kw)
            np.testing.assert_array_equal(a, vrd.read(one)[1])


def test_window_and_compare_are_the_programs(tmp_path):
    a = volume("f4", (6, 10, 12))
    a[0, 0, :3] = [np.nan, np.inf, -np.inf]
    b = a.copy()
    b[2, 3, 4] += 5
    src, other = tmp_path / "a.vrd", tmp_path / "b.vrd"
    vrd.write(src, a, spacing=0.7, comments=["scan"])
    vrd.write(other, b.astype("f8"), spacing=0.7)
    for program, args, computed in [
            (VOLMAP, [src, tmp_path / "mapped.vrd", "-20", "0.5", "1e1", "70"],
             lambda: vrd.window(vrd.read(src)[1], -20, 0.5, 1e1, 70)),
            (VOLCMP, [src, other, "-", "-", tmp_path / "diff.vrd"],
             lambda: vrd.compare(vrd.read(src)[1], vrd.read(other)[1]))]:
        out = args[-1] if program == VOLCMP else args[1]
        result = subprocess.run([program, *map(str, args)], capture_output=True, env={**os.environ, "VRD_PROGRESS": "0"})
        assert result.returncode == 0, result.stderr
        values = computed()
        assert values.dtype == np.float32
        mine = tmp_path / "mine.vrd"
        vrd.write(mine, values, header=vrd.read(src)[0])
        # The same header, icon and blocks: the whole file.
        assert mine.read_bytes() == out.read_bytes(), program
    with pytest.raises(ValueError):
        vrd.compare(a, a[1:])
    with pytest.raises(TypeError):
        vrd.window(a.astype(np.complex64), 0, 1, 2, 3)


def test_header_of_a_file_carries_over(tmp_path):
    rz = [1.0, 1.5, 2.25]
    src = tmp_path / "src.vrd"
    vrd.write(src, volume("u2", (3, 4, 5)), units="um", comments=["a", "b"])
    header = vrd.read(src)[0]
    header.update(vtype="rectz", spacing=(0.5, 0.25, None), rz=rz, bg_threshold=7,
                  transfer_functions=[("0 1", "0.5", "a_b", "c-d", None)])
    out = tmp_path / "out.vrd"
    vrd.write(out, volume("f4", (3, 4, 5)), header=header, compression="none")
    got = vrd.read(out)[0]
    assert (got["vtype"], got["spacing"][:2], got["rz"], got["units"], got["comments"], got["compression"],
            got["bg_threshold"], got["transfer_functions"]) == \
        ("rectz", (0.5, 0.25), rz, "um", ["a", "b"], "none", 7.0, [("0 1", "0.5", "a_b", "c-d", None)])


def test_writer_checks_its_slices_and_aborts_on_an_exception(tmp_path):
    path = tmp_path / "out.vrd"
    path.write_bytes(b"old")
    a = volume("f4", (4, 3, 2))
    with pytest.raises(RuntimeError):
        with vrd.Writer(path, a.shape, a.dtype) as w:
            w.write_slices(a[:2])
            raise RuntimeError("stop")
    with pytest.raises(ValueError, match="2 of 4 slices written"):
        with vrd.Writer(path, a.shape, a.dtype) as w:
            w.write_slices(a[:2])
    with vrd.Writer(path, a.shape, a.dtype) as w:
        with pytest.raises(ValueError):
            w.write_slices(a[:, :2])
        with pytest.raises(TypeError):
            w.write_slices(a.astype("f8"))
        with pytest.raises(ValueError):
            w.write_blocks([b"\0\0\0\5ab"])
        w.write_slices(a)
        with pytest.raises(ValueError):
            w.write_slices(a[:1])
        w.abort()
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["out.vrd"]


FAULTS = r"""
import os, resource, sys, numpy as np, vrd
d = sys.argv[1]
a = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
vrd.write(d + "/good.vrd", a)
good = open(d + "/good.vrd", "rb").read()
cut = good[:-5]
bad = bytearray(good); bad[-7] ^= 0xFF
head = good[:good.index(b"#!last")]
huge = head.replace(b"#!vdim  \t4 3 2", b"#!vdim  \t6000 6000 60000").replace(b"zlib", b"none")
open(d + "/cut.vrd", "wb").write(cut)
open(d + "/bad.vrd", "wb").write(bytes(bad))
open(d + "/refused.vrd", "wb").write(good.replace(b"#!dtype", b"#!xtype"))
open(d + "/huge.vrd", "wb").write(huge + b"#!last\n255\n" + bytes(12))
open(d + "/huge_zlib.vrd", "wb").write(
    head.replace(b"#!vdim  \t4 3 2", b"#!vdim  \t6000 6000 600") + b"#!last\n255\n" + bytes(12) + b"\0\0\0\x08" + bytes(8))
open(d + "/old.vrd", "wb").write(b"old")

def fault(name, kind, call):
    try:
        call()
    except kind as e:
        print(name + "|" + type(e).__name__, e)
        return
    except BaseException as e:
        print(name + "|WRONG", type(e).__name__, e)
        return
    print(name + "|WRONG no exception")

fault("missing", OSError, lambda: vrd.read(d + "/none.vrd"))
fault("refused", ValueError, lambda: vrd.read(d + "/refused.vrd"))
fault("cut", ValueError, lambda: vrd.read(d + "/cut.vrd"))
fault("cut slice", ValueError, lambda: vrd.open(d + "/cut.vrd")[1])
fault("bad", ValueError, lambda: vrd.read(d + "/bad.vrd"))
fault("bad slice", ValueError, lambda: vrd.open(d + "/bad.vrd")[1])
fault("bad blocks", ValueError, lambda: vrd.read_blocks(d + "/bad.vrd", 0, vrd.open(d + "/good.vrd").block_offsets))
fault("missing block", ValueError, lambda: vrd.read_blocks(d + "/cut.vrd", 1, [-1]))
fault("huge", ValueError, lambda: vrd.read(d + "/huge.vrd"))
fault("huge slice", ValueError, lambda: vrd.open(d + "/huge.vrd")[30000])
fault("huge zlib", ValueError, lambda: vrd.open(d + "/huge_zlib.vrd")[0])
fault("full", OSError, lambda: vrd.write("/dev/full", a))
fault("no folder", OSError, lambda: vrd.write(d + "/no/such.vrd", a))
fault("type", TypeError, lambda: vrd.write(d + "/old.vrd", a.astype(np.complex64)))
fault("shape", ValueError, lambda: vrd.write(d + "/old.vrd", a[0]))
fault("deflate", ValueError, lambda: vrd.write(d + "/old.vrd", a, deflate="gzip"))
def through_fifo(name, data, call):
    # call(path) on a FIFO that a thread feeds data through
    import threading
    fifo = d + "/" + name + ".fifo"
    os.mkfifo(fifo)
    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(data)
        except BrokenPipeError:
            pass
    t = threading.Thread(target=feed)
    t.start()
    try:
        return call(fifo)
    finally:
        t.join()
        os.remove(fifo)

for endian, compression in (("little", "zlib"), (">", "none")):
    b = (np.arange(5 * 70 * 90) % 251).astype(">i2" if endian == ">" else "<f4").reshape(5, 70, 90)
    vrd.write(d + "/stream.vrd", b, compression=compression, endian="big" if endian == ">" else "little")
    h, v = through_fifo("good", open(d + "/stream.vrd", "rb").read(), vrd.read)
    h2, v2 = vrd.read(d + "/stream.vrd")
    print("fifo " + compression + "|" + str(h == h2 and np.array_equal(v, v2) and v.dtype == v2.dtype))
os.remove(d + "/stream.vrd")
fault("fifo cut", ValueError, lambda: through_fifo("cut", cut, vrd.read))
fault("fifo bad", ValueError, lambda: through_fifo("bad", bytes(bad), vrd.read))
fault("fifo empty", ValueError, lambda: through_fifo("empty", huge + b"#!last\n255\n" + bytes(12), vrd.read))
fault("fifo claims", ValueError, lambda: through_fifo(
    "claims", huge + b"#!last\n255\n" + bytes(12) + (144000000).to_bytes(4, "big") + bytes(100), vrd.read))
fault("fifo open", ValueError, lambda: through_fifo("open", good, vrd.open))
limit = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (20000, limit[1]))
fault("file size", OSError, lambda: vrd.write(d + "/old.vrd", np.random.rand(8, 64, 64)))
resource.setrlimit(resource.RLIMIT_FSIZE, limit)
print("old|" + str(open(d + "/old.vrd", "rb").read() == b"old"), sorted(f for f in os.listdir(d) if f.startswith(".")))
print("peak MiB|" + str(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024))
"""


def test_faults_raise_and_nothing_else_happens(tmp_path):
    result = subprocess.run([sys.executable, "-c", FAULTS, str(tmp_path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = dict(line.split("|", 1) for line in result.stdout.splitlines())
    for name, line in lines.items():
        assert "WRONG" not in line, (name, line)
    cut, bad = str(tmp_path / "cut.vrd"), str(tmp_path / "bad.vrd")
    assert lines["missing"].startswith("FileNotFoundError")
    assert lines["refused"].endswith("refused.vrd: vrd format error - dtype missing")
    assert lines["cut"].startswith(f"ValueError {cut}: slice 1: ReadSliceDataZ: read error (trying to read ")
    assert lines["cut slice"] == lines["cut"]
    assert lines["bad"].startswith(f"ValueError {bad}: slice 1: ReadSliceDataZ: ")
    assert lines["bad slice"] == lines["bad"] == lines["bad blocks"]
    assert lines["missing block"] == f"ValueError {cut}: slice 1: the file does not hold its block"
    assert lines["huge"].endswith(": slice 0: ReadLong error (1)")
    assert lines["huge slice"].endswith(": slice 30000: the file does not hold its block")
    assert "cannot hold a slice" in lines["huge zlib"]
    # Through a FIFO, vrd.read reads block after block; memory follows the bytes that came.
    assert lines["fifo zlib"] == lines["fifo none"] == "True"
    fifo = str(tmp_path)
    assert lines["fifo cut"].startswith(f"ValueError {fifo}/cut.fifo: slice 1: ReadSliceDataZ: read error")
    assert lines["fifo bad"].startswith(f"ValueError {fifo}/bad.fifo: slice 1: ReadSliceDataZ: ")
    assert lines["fifo empty"] == f"ValueError {fifo}/empty.fifo: slice 0: the data end before its block"
    assert lines["fifo claims"].startswith(f"ValueError {fifo}/claims.fifo: slice 0: ReadSliceDataN: ")
    assert lines["fifo open"].endswith("blocks are found by their place only in a regular file")
    assert lines["old"] == "True []"
    assert int(lines["peak MiB"]) < 200


def test_threads_read_and_write_as_one_thread_does(tmp_path):
    volumes = {}
    for i, dtype in enumerate(["f4", ">i2", "u1"]):
        path = tmp_path / f"v{i}.vrd"
        volumes[path] = volume(dtype, (40, 33, 17), seed=i)
        vrd.write(path, volumes[path], compression="zlib" if i != 1 else "none")
    opened = {p: vrd.open(p) for p in volumes}
    rng = np.random.default_rng(3)
    jobs = [(p, int(z), int(rng.integers(1, 4))) for p in volumes for z in rng.integers(0, 40, 40)]

    def one(job):
        path, z, step = job
        return [opened[path][z], opened[path][z::step], vrd.read(path)[1][z::step]]

    def write(i):
        out = tmp_path / f"w{i}.vrd"
        vrd.write(out, volumes[tmp_path / f"v{i % 3}.vrd"])
        return out.read_bytes()

    alone = [one(j) for j in jobs]
    with ThreadPoolExecutor(8) as pool:
        together = list(pool.map(one, jobs))
        written = list(pool.map(write, range(6)))
    for a, b in zip(alone, together):
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)
    for i, data in enumerate(written):
        assert data == (tmp_path / f"w{i % 3}.vrd").read_bytes()
    for v in opened.values():
        v.close()


def test_lazy_modules_and_exceptions_pickle():
    import pickle
    assert "dask" not in sys.modules
    try:
        vrd.read("/nonexistent/x.vrd")
    except OSError as e:
        again = pickle.loads(pickle.dumps(e))
        assert (type(again), str(again)) == (type(e), str(e))
    with pytest.raises(AttributeError):
        vrd.no_such_name


def test_the_lazy_example_writes_what_volmap_writes(tmp_path):
    example = os.path.join(os.environ["VRD_SOURCE_DIR"], "examples", "python", "window_lazily.py")
    src = tmp_path / "in.vrd"
    vrd.write(src, volume(">i2", (13, 9, 8)), spacing=(0.5, 0.5, 1), comments=["scan"], endian="big")
    args = ["-50", "-10", "10.5", "60"]
    subprocess.run([VOLMAP, src, tmp_path / "volmap.vrd", *args], check=True, env={**os.environ, "VRD_PROGRESS": "0"})
    result = subprocess.run([sys.executable, example, src, tmp_path / "py.vrd", *args, "4"], capture_output=True)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (tmp_path / "py.vrd").read_bytes() == (tmp_path / "volmap.vrd").read_bytes()
