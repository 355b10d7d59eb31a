"""The Python module against the C library: volumes the library writes, the
module's volumes read back by the library and by volcmp, odd and refused
headers read by both, damaged blocks, and the icon rule."""

import os
import subprocess
import tempfile
import unittest
import zlib

import numpy as np

import vrd

FIXTURE, VOLCMP = os.environ["VRD_FIXTURE"], os.environ["VOLCMP"]
NUMPY_TYPE = {"vrdUChar": np.uint8, "vrdChar": np.int8, "vrdUInt12": np.uint16, "vrdUInt16": np.uint16,
              "vrdInt16": np.int16, "vrdIntHU": np.int16, "vrdUInt32": np.uint32, "vrdInt32": np.int32,
              "vrdFloat": np.float32, "vrdDouble": np.float64}
# What the fixture writes: spacings before their six-decimal text, and a
# comment that the writer cuts to 1998 bytes.
SPACING = {"cubic": 0.5, "regular": (0.25, 0.0078125, 2.5)}
LONG_COMMENT = "x" * 2000


def c_read(path):
    """(header without icon, slice bytes) as the library reads path, in the
    module's terms; or (its refusal message, None)."""
    out = subprocess.run([FIXTURE, "read", str(path)], capture_output=True, text=True, check=True).stdout
    rows = [line.split(" ") for line in out.splitlines()]
    if rows[0][0] == "error":
        return " ".join(rows[0][2:]), None
    f = {row[0]: row[1:] for row in rows}

    def floats(items):
        return None if items == ["-"] else [float(np.frombuffer(bytes.fromhex(x), "<f4")[0]) for x in items]

    def text(item):
        return bytes.fromhex(item).decode("utf-8", "surrogateescape")

    compression, endian, vtype, units, nbands, dtype = map(int, f["codes"])
    px, py, pz = floats(f["p"])
    has_bg, bg_int, bg_float = int(f["bg"][0]), int(f["bg"][1]), floats(f["bg"][2:])[0]
    tf = [None if row[1:] == ["-"] else text(row[1] if len(row) > 1 else "") for row in rows if row[0] == "tfdata"]
    header = {
        "version": tuple(map(int, f["version"])), "compression": ["zlib", "none"][compression - 1],
        "endian": ["big", "little"][endian - 1], **dict(zip(("nx", "ny", "nz"), map(int, f["dims"]))),
        "vtype": ["cubic", "regular", "rectz", "rectxyz"][vtype - 1],
        "spacing": [(px, px, px), (px, py, pz), (px, py, None), (None, None, None)][vtype - 1],
        "rx": floats(f["rx"]), "ry": floats(f["ry"]), "rz": floats(f["rz"]),
        "units": ["um", "mm", "m"][units - 1], "nbands": nbands, "dtype": list(NUMPY_TYPE)[dtype - 1],
        "bg_threshold": None if not has_bg else bg_float if dtype >= 9 else bg_int,
        "comments": [text(row[1] if len(row) > 1 else "") for row in rows if row[0] == "comment"],
        "transfer_functions": [tuple(tf[i:i + 5]) for i in range(0, len(tf), 5)],
    }
    return header, b"".join(bytes.fromhex(row[3]) for row in rows if row[0] == "slice")


def without_icon(header):
    return {k: v for k, v in header.items() if k != "icon"}


class VrdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        subprocess.run([FIXTURE, "write", cls.dir], check=True)
        with open(os.path.join(cls.dir, "manifest")) as manifest:
            rows = [line.split() for line in manifest]
        cls.sound = [r[1] for r in rows if r[0] == "sound"]
        cls.damaged = [(r[1], int(r[2])) for r in rows if r[0] == "damaged"]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_reads_what_the_library_wrote(self):
        self.assertEqual(161, len(self.sound))
        for name in self.sound:
            with self.subTest(name):
                header, volume = vrd.read(self.path(name))
                self.assertEqual(c_read(self.path(name))[0], without_icon(header))
                if name.count("_") == 3:
                    _, endian, compression, grid = name[:-4].split("_")
                    self.assertEqual((endian, compression, grid), (header["endian"], header["compression"], header["vtype"]))
                self.assertEqual((3, 4, 5), volume.shape)
                self.assertEqual(np.dtype(NUMPY_TYPE[header["dtype"]]), volume.dtype)
                with open(self.path(name + ".raw"), "rb") as raw:
                    self.assertEqual(raw.read(), volume.tobytes())

    def test_writes_what_the_library_writes_and_reads_it_back(self):
        names = [n for n in self.sound if n.split("_")[-1][:-4] in SPACING and "uint12" not in n and "inthu" not in n]
        self.assertEqual(64, len(names))
        for name in names:
            with self.subTest(name):
                header, volume = vrd.read(self.path(name))
                out = self.path("py_" + name)
                vrd.write(out, volume, SPACING[header["vtype"]], header["units"], header["compression"],
                          header["endian"], header["comments"][:-1] + [LONG_COMMENT])
                with open(out, "rb") as mine, open(self.path(name), "rb") as theirs:
                    self.assertEqual(theirs.read(), mine.read())
                self.assertEqual((without_icon(header), volume.tobytes()), c_read(out))

    def test_library_reads_every_array_type_and_layout(self):
        rng = np.random.default_rng(5)
        bits = rng.integers(0, 256, 2 * 3 * 7 * 8, dtype=np.uint8)
        cases = [(t, bits[:2 * 3 * 7 * np.dtype(t).itemsize].view(t).reshape(2, 3, 7))
                 for t in ("u1", "i1", "<u2", ">i2", "u4", ">i4", "f4", ">f8")]
        cases.append(("transposed", np.arange(24, dtype=np.int32).reshape(2, 3, 4).transpose(2, 1, 0)))
        cases.append(("one voxel", np.full((1, 1, 1), 7, np.uint8)))
        for name, array in cases:
            for endian in ("little", "big"):
                with self.subTest(name, endian=endian):
                    out = self.path("types.vrd")
                    vrd.write(out, array, spacing=(1, 2, 3), endian=endian, compression="none")
                    header, volume = vrd.read(out)
                    self.assertEqual(array.dtype.newbyteorder("="), volume.dtype)
                    self.assertEqual({"u2": "vrdUInt16", "i2": "vrdInt16"}.get(array.dtype.str[1:], header["dtype"]),
                                     header["dtype"])
                    np.testing.assert_array_equal(array, volume)
                    self.assertEqual((without_icon(header), np.ascontiguousarray(array, volume.dtype).tobytes()),
                                     c_read(out))

    def test_odd_and_refused_headers_as_the_library_reads_them(self):
        base = ["#!endian vrdLittleEndian", "#!compression none", "#!vdim 2 3 2", "#!vtype vrdCubic", "#!px 0.5",
                "#!nbands 1", "#!dtype vrdUChar", "#!units vrdUmm"]

        def edit(key, *lines):
            return [new for k in base for new in ((k,) if not k.startswith(key) else lines)]

        def grid(vtype, *spacing, dims="2 3 2"):
            return edit("#!vdim", "#!vdim " + dims)[:3] + ["#!vtype " + vtype, *spacing] + base[5:]

        start = "P5\n2 3\n#!vrd 6.0\n"
        cases = [  # name, volume, expected error number or header entry
            ("single blanks", dict(), ("spacing", (0.5, 0.5, 0.5))),
            ("writer's tabs", dict(keys=[k.replace(" ", " \t ") for k in base]), ("units", "mm")),
            ("no compression line", dict(keys=edit("#!compression"), packed=True), ("compression", "zlib")),
            ("keys in reverse order", dict(keys=base[::-1]), ("dtype", "vrdUChar")),
            ("regular", dict(keys=grid("vrdRegular", "#!pz 2", "#!py 0.25", "#!px 0.5")), ("spacing", (0.5, 0.25, 2.0))),
            ("rectz", dict(keys=grid("vrdRectZ", "#!px 0.5", "#!py 0.25", "#!pz 1", "#!pz 3", "#!pz 9")), ("rz", [1.0, 3.0])),
            ("rectxyz, first z spacing 0", dict(keys=grid("vrdRectXYZ", "#!px 1", "#!px 2", "#!py 1", "#!py 1", "#!py 1",
                                                          "#!pz 0", "#!pz 2")), ("rz", [0.0, 2.0])),
            ("spacing rounded once", dict(keys=edit("#!px", "#!px 1.00000005960464477539062501")),
             ("spacing", (1.0000001192092896,) * 3)),
            ("vdim beyond 32 bits", dict(keys=edit("#!vdim", "#!vdim 4294967298 3 2")), ("nx", 2)),
            ("integer threshold", dict(keys=base + ["#!bgthreshold 7.9"]), ("bg_threshold", 7)),
            ("comments", dict(keys=base + ["#!comment   two  words ", "#!comment", "#!comment " + "y" * 3000]),
             ("comments", ["two  words ", "", "y" * 2038])),
            ("transfer functions", dict(keys=base + ["#!tfnum 1", "#!tfdata d 0 1", "#!tfdata r", "#!tfdata g 0.5"]),
             ("transfer_functions", [("0 1", "0.5", None, None, None)])),
            ("colour icon", dict(start="P6\n2 3\n#!vrd 6.0\n", icon=18), ("icon", (2, 3))),
            ("not PNM", dict(start="X5" + start[2:]), 2),
            ("PNM type 4", dict(start="P4" + start[2:]), 3),
            ("no icon size", dict(start="P5\n#!vrd 6.0\n"), 5),
            ("no minor version", dict(start=start.replace("6.0", "6")), 5),
            ("newer format", dict(start=start.replace("6.0", "7.0")), 35),
            ("no #!last", dict(end="", icon=0, slices=0), 6),
            ("unknown endian", dict(keys=edit("#!endian", "#!endian vrdMiddleEndian")), 7),
            ("unknown compression", dict(keys=edit("#!compression", "#!compression lzw")), 7),
            ("unknown vtype", dict(keys=edit("#!vtype", "#!vtype vrdPolar")), 8),
            ("nbands 0", dict(keys=edit("#!nbands", "#!nbands 0")), 10),
            ("unknown dtype", dict(keys=edit("#!dtype", "#!dtype vrdInt64")), 11),
            ("unknown units", dict(keys=edit("#!units", "#!units vrdUkm")), 12),
            ("no endian", dict(keys=edit("#!endian")), 15),
            ("no slices", dict(keys=edit("#!vdim", "#!vdim 2 3 0")), 16),
            ("rectz vtype before vdim", dict(keys=["#!vtype vrdRectZ"] + grid("vrdRectZ", "#!px 1", "#!py 1", "#!pz 1", "#!pz 1")[:3]
                                             + ["#!px 1", "#!py 1", "#!pz 1", "#!pz 1"] + base[5:]), 16),
            ("no units", dict(keys=edit("#!units")), 18),
            ("no dtype", dict(keys=edit("#!dtype")), 20),
            ("px 0", dict(keys=edit("#!px", "#!px 0")), 22),
            ("negative px", dict(keys=edit("#!px", "#!px -1")), 22),
            ("regular without pz", dict(keys=grid("vrdRegular", "#!px 1", "#!py 1")), 24),
            ("rectxyz of one slice", dict(keys=grid("vrdRectXYZ", "#!px 1", "#!px 1", "#!py 1", "#!py 1", "#!py 1",
                                                    "#!pz 1", dims="2 3 1"), slices=1), 27),
            ("rectz spacing missing", dict(keys=grid("vrdRectZ", "#!px 1", "#!py 1", "#!pz 1")), 30),
            ("more tfdata than slots", dict(keys=base + ["#!tfnum 1"] + ["#!tfdata a 1"] * 6), 31),
            ("negative tfnum", dict(keys=base + ["#!tfnum -1"]), 33),
            ("tfdata before tfnum", dict(keys=base + ["#!tfdata d 1"]), 34),
            ("icon cut short", dict(icon=5, slices=0), 4),
        ]
        for name, parts, expected in cases:
            with self.subTest(name):
                path = self.path("header.vrd")
                with open(path, "wb") as f:
                    f.write(volume_bytes(**{"keys": base, "start": start, **parts}))
                theirs, slices = c_read(path)
                if isinstance(expected, int):
                    self.assertIsNone(slices, "the library accepts it")
                    with self.assertRaises(ValueError) as refusal:
                        vrd.read(path)
                    self.assertEqual(f"{path}: {theirs}", str(refusal.exception))
                    self.assertIn(vrd._vrd.messages[expected], theirs)
                else:
                    header, volume = vrd.read(path)
                    self.assertEqual(theirs, without_icon(header))
                    self.assertEqual(slices, volume.tobytes())
                    self.assertEqual(expected[1], header[expected[0]])

    def test_refuses_damaged_blocks_and_several_bands(self):
        self.assertEqual(10, len(self.damaged))
        cases = [(self.path(name), f"slice {z}: ") for name, z in self.damaged]
        several = self.path("bands.vrd")
        with open(several, "wb") as f:
            f.write(volume_bytes(["#!endian vrdBigEndian", "#!vdim 2 3 1", "#!vtype vrdCubic", "#!px 1",
                                  "#!nbands 3", "#!dtype vrdUChar", "#!units vrdUm"], slices=0))
        cases.append((several, "3 bands per voxel"))
        for path, reason in cases:
            with self.subTest(os.path.basename(path)):
                with self.assertRaises(ValueError) as refusal:
                    vrd.read(path)
                self.assertTrue(str(refusal.exception).startswith(f"{path}: {reason}"), str(refusal.exception))

    def test_write_refuses_bad_arguments_before_touching_the_file(self):
        u8 = np.zeros((2, 2, 2), np.uint8)
        cases = [(np.zeros((2, 2, 2), t), {}, TypeError) for t in (np.int64, bool, np.float16, np.complex64, object)]
        cases += [(u8[0], {}, ValueError), (u8[:0], {}, ValueError)]
        cases += [(u8, {"spacing": s}, ValueError) for s in (0, -1, float("nan"), float("inf"), 4e-7, 1e39, (1, 2))]
        cases += [(u8, {k: v}, ValueError) for k, v in (("units", "cm"), ("compression", "gzip"),
                                                       ("endian", "middle"), ("comments", ["a\nb"]), ("comments", ["a\0b"]))]
        path = self.path("refused.vrd")
        for array, arguments, error in cases:
            with self.subTest(dtype=array.dtype, shape=array.shape, **{k: repr(v) for k, v in arguments.items()}):
                with self.assertRaises(error):
                    vrd.write(path, array, **arguments)
                self.assertFalse(os.path.exists(path))

    def test_volcmp_compares_the_modules_volumes(self):
        a = np.arange(60, dtype=np.int16).reshape(3, 4, 5)
        b = a.copy()
        b[0, 0, 0], b[1, 2, 3], b[2, 0, 0] = -5, 500, -3
        first, second, out = self.path("a.vrd"), self.path("b.vrd"), self.path("diff.vrd")
        vrd.write(first, a, spacing=(0.5, 0.5, 2), units="um", compression="none", endian="big", comments=["scan"])
        vrd.write(second, b)
        result = subprocess.run([VOLCMP, first, second, "-", "-", out], capture_output=True, text=True)
        self.assertEqual(0, result.returncode, result.stderr)
        header, diff = vrd.read(out)
        expected = np.zeros(a.shape, np.float32)
        expected[1, 2, 3], expected[2, 0, 0] = 50000, 4000
        np.testing.assert_array_equal(expected, diff)
        self.assertEqual(("vrdFloat", "regular", (0.5, 0.5, 2.0), "um", "none", ["scan"]),
                         tuple(header[k] for k in ("dtype", "vtype", "spacing", "units", "compression", "comments")))

    def test_preview(self):
        nan, inf = float("nan"), float("inf")
        cases = [  # slice, icon
            (np.full((2, 2), 3.5, np.float32), [[0, 0], [0, 0]]),
            (np.full((1, 3), nan), [[0, 0, 0]]),
            (np.array([[nan, 4, inf], [-inf, nan, 4]]), [[0, 0, 0], [0, 0, 0]]),  # one finite value: constant
            (np.array([[nan, -inf, 0], [1, 2, inf]], np.float32), [[0, 0, 0], [128, 255, 255]]),
            (np.array([[0, 1, 3]], np.uint8), [[0, 85, 255]]),
            (np.array([[0, 2 ** 32 - 1, 2 ** 31]], np.uint32), [[0, 255, 128]]),
            (np.array([[-128], [127], [0]], np.int8), [[0], [255], [128]]),
            (np.array([[-1e308, 1e308, 0, 5e307]]), [[0, 255, 128, 191]]),
        ]
        for values, icon in cases:
            with self.subTest(values=values.tolist()):
                result = vrd.preview(values)
                self.assertEqual(np.uint8, result.dtype)
                self.assertEqual(icon, result.tolist())
        with self.assertRaises(ValueError):
            vrd.preview(np.zeros((2, 2, 2)))


def volume_bytes(keys, start="P5\n2 3\n#!vrd 6.0\n", end="#!last\n255\n", icon=6, slices=2, packed=False):
    """A file of header lines, an icon of zeros and slices of six bytes."""
    data = (start + "".join(k + "\n" for k in keys) + end).encode() + bytes(icon)
    for z in range(slices):
        payload = bytes(range(6 * z, 6 * z + 6))
        payload = zlib.compress(payload) if packed else payload
        data += len(payload).to_bytes(4, "big") + payload
    return data


if __name__ == "__main__":
    unittest.main()
