"""vrdconvert on DICOM series written by pydicom and re-encoded by GDCM's
gdcmconv: values and spacing against the values written and against what
dcm2niix makes of the same series (read by nibabel), series selection,
compressed transfer syntaxes, privacy, and the refusals."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import nibabel as nib
import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian, generate_uid

VRDCONVERT, VRDINFO = os.environ["VRDCONVERT"], os.environ["VRDINFO"]
GDCMCONV = shutil.which("gdcmconv")
DCM2NIIX = shutil.which("dcm2niix")
AXIAL = [1, 0, 0, 0, 1, 0]


def write_series(folder, stored, positions, *, modality="CT", slope=1, intercept=-1024, bits_stored=None,
                 signed=None, spacing=(0.5, 0.75), orientation=AXIAL, uid=None, number=3, description="head",
                 names=None, tweak=None, implicit=False):
    """Writes stored[k] (rows x columns) as the slice at positions[k] (a z, or
    an x, y, z triple), one file each, named names[k] (default: shuffled, with
    InstanceNumber in reverse order, so neither tells the slice order)."""
    os.makedirs(folder, exist_ok=True)
    uid = uid or generate_uid()
    n = len(stored)
    order = np.random.default_rng(n).permutation(n)
    names = names or ["im%04d.dcm" % order[k] for k in range(n)]
    for k in range(n):
        values = np.asarray(stored[k])
        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2" if modality == "CT" else "1.2.840.10008.5.1.4.1.1.4"
        meta.MediaStorageSOPInstanceUID = generate_uid()
        meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
        ds = Dataset()
        ds.file_meta = meta
        ds.is_little_endian, ds.is_implicit_VR = True, implicit
        ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
        ds.PatientName, ds.PatientID, ds.PatientBirthDate = "Doe^Jane", "PID-4711", "19700101"
        ds.InstitutionName, ds.ReferringPhysicianName = "Sample Hospital", "Roe^Richard"
        ds.Modality, ds.StudyDate, ds.ManufacturerModelName = modality, "20240102", "Model Nine"
        ds.KVP, ds.ConvolutionKernel = "120", "B30f"
        ds.StudyInstanceUID, ds.SeriesInstanceUID = "1.2.826.0.1.3680043.2.1125.1", uid
        ds.SeriesNumber, ds.SeriesDescription, ds.InstanceNumber = number, description, n - k
        ds.Rows, ds.Columns = values.shape
        ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
        ds.BitsAllocated = values.dtype.itemsize * 8
        ds.BitsStored = bits_stored or ds.BitsAllocated
        ds.HighBit = ds.BitsStored - 1
        ds.PixelRepresentation = int(values.dtype.kind == "i" if signed is None else signed)
        ds.ImageOrientationPatient = list(orientation)
        p = positions[k]
        ds.ImagePositionPatient = list(p) if np.ndim(p) else [-100, -120, p]
        ds.PixelSpacing = list(spacing)
        ds.SliceThickness = 1
        ds.RescaleSlope, ds.RescaleIntercept = slope, intercept
        ds.PixelData = values.astype(values.dtype.newbyteorder("<")).tobytes()
        if tweak:
            tweak(k, ds)
        ds.save_as(os.path.join(folder, names[k]), write_like_original=False)


# vrdinfo's words for the data types and grids, as the vrd keywords and numpy types.
DTYPES = {"uint8": ("vrdUChar", np.uint8), "int8": ("vrdChar", np.int8), "uint12": ("vrdUInt12", np.uint16),
          "uint16": ("vrdUInt16", np.uint16), "int16": ("vrdInt16", np.int16), "int16-hu": ("vrdIntHU", np.int16),
          "uint32": ("vrdUInt32", np.uint32), "int32": ("vrdInt32", np.int32), "float32": ("vrdFloat", np.float32),
          "float64": ("vrdDouble", np.float64)}
GRIDS = {"cubic": "cubic", "regular": "regular", "rectilinear-z": "rectz", "rectilinear": "rectxyz"}


def read_vrd(path):
    """(header, volume[z, y, x]) of a vrd file, as vrdinfo describes it and
    vrdconvert writes its values to raw data (this machine's order)."""
    info = json.loads(subprocess.run([VRDINFO, "--json", path], capture_output=True, text=True,
                                     check=True).stdout)
    name, numpy_type = DTYPES[info["data_type"]]
    subprocess.run([VRDCONVERT, path, path + ".raw"], capture_output=True, check=True)
    volume = np.fromfile(path + ".raw", numpy_type).reshape(info["nz"], info["ny"], info["nx"])
    os.remove(path + ".raw")
    spacing = info["spacing"]
    if not isinstance(spacing, dict):
        spacing = {"x": spacing, "y": spacing, "z": spacing}
    z = spacing["z"]
    header = {"dtype": name, "vtype": GRIDS[info["grid"]], "units": info["units"], "comments": info["comments"],
              "spacing": (spacing["x"], spacing["y"], None if isinstance(z, dict) else z),
              "rz": z if isinstance(z, dict) else None}
    return header, volume


def convert(*args):
    run = subprocess.run([VRDCONVERT, *map(str, args)], capture_output=True, text=True)
    return run.returncode, run.stderr


def dcm2niix_file(folder, out):
    """The path of the .nii dcm2niix writes for the series in folder."""
    os.makedirs(out, exist_ok=True)
    subprocess.run([DCM2NIIX, "-z", "n", "-f", "s", "-o", out, folder], capture_output=True, check=True)
    return os.path.join(out, sorted(f for f in os.listdir(out) if f.endswith(".nii"))[0])


def dcm2niix(folder, out):
    img = nib.load(dcm2niix_file(folder, out))
    # nibabel's [x, y, z] with rows bottom up, as dcm2niix writes axial slices.
    return np.transpose(img.get_fdata(), (2, 1, 0))[:, ::-1, :], img.header.get_zooms()


class DicomTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrd_dicom_")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def converted(self, folder, *options, out="out.vrd"):
        status, err = convert(*options, folder, self.path(out))
        self.assertEqual(status, 0, err)
        return read_vrd(self.path(out)) + (err,)

    def refused(self, folder, *options):
        status, err = convert(*options, folder, self.path("refused.vrd"))
        self.assertEqual(status, 255, err)
        self.assertFalse(os.path.exists(self.path("refused.vrd")))
        self.assertEqual(err.count("\n"), 1, err)
        return err

    def against_dcm2niix(self, folder, volume, spacing, exact=True):
        theirs, zooms = dcm2niix(folder, tempfile.mkdtemp(dir=self.tmp))
        self.assertEqual(theirs.shape, volume.shape)
        if exact:
            np.testing.assert_array_equal(volume.astype(np.float64), theirs)
        else:  # dcm2niix keeps the slope as float32, nibabel applies it in double
            np.testing.assert_allclose(volume.astype(np.float64), theirs, rtol=1e-6, atol=1e-6)
        np.testing.assert_allclose(spacing, zooms, rtol=1e-5)

    def test_ct_to_hounsfield_units_in_position_order(self):
        rng = np.random.default_rng(1)
        stored = rng.integers(0, 4096, (9, 20, 24)).astype(np.uint16)
        zs = [12.5 + 1.25 * k for k in range(9)]
        write_series(self.path("ct"), stored, zs, bits_stored=12)
        header, volume, err = self.converted(self.path("ct"))
        self.assertEqual(header["dtype"], "vrdIntHU")
        self.assertEqual(header["vtype"], "regular")
        self.assertEqual(header["units"], "mm")
        np.testing.assert_allclose(header["spacing"], (0.75, 0.5, 1.25), rtol=1e-6)
        np.testing.assert_array_equal(volume, stored.astype(np.int32) - 1024)
        self.against_dcm2niix(self.path("ct"), volume, header["spacing"])

    def test_signed_ct_whose_bits_allow_more_than_int16(self):
        # 16 stored bits and an intercept could leave int16; the values do not.
        rng = np.random.default_rng(2)
        stored = rng.integers(-1000, 3000, (5, 8, 6)).astype(np.int16)
        write_series(self.path("ct"), stored, [0, -3, -6, -9, -12], intercept=-1024, implicit=True)
        header, volume, _ = self.converted(self.path("ct"))
        self.assertEqual(header["dtype"], "vrdIntHU")
        np.testing.assert_array_equal(volume, stored[::-1].astype(np.int32) - 1024)
        self.against_dcm2niix(self.path("ct"), volume, header["spacing"])

    def test_value_types(self):
        rng = np.random.default_rng(3)
        stored = rng.integers(0, 4000, (4, 6, 5)).astype(np.uint16)
        cases = [  # modality, slope, intercept, bits stored, expected type
            ("MR", 1, 0, 8, "vrdUChar"), ("MR", 1, 0, 12, "vrdUInt12"), ("MR", 1, 0, 16, "vrdUInt16"),
            ("MR", 1, -100, 12, "vrdInt16"), ("MR", 0.5, 0, 12, "vrdFloat"), ("MR", 1.25, 0.25, 16, "vrdFloat"),
            ("MR", 0.3, 0, 12, "vrdDouble"), ("MR", 70000, 0, 12, "vrdUInt32"), ("PT", 2, -50000, 12, "vrdInt32"),
            ("CT", 3, 0, 12, "vrdIntHU")]
        for modality, slope, intercept, bits, dtype in cases:
            with self.subTest(slope=slope, intercept=intercept, bits=bits):
                folder = self.path("%s_%s_%s_%s" % (modality, slope, intercept, bits))
                values = stored & ((1 << bits) - 1)
                write_series(folder, values, [0, 2, 4, 6], modality=modality, slope=slope, intercept=intercept,
                             bits_stored=bits)
                header, volume, _ = self.converted(folder)
                self.assertEqual(header["dtype"], dtype)
                expected = values.astype(np.float64) * slope + intercept
                np.testing.assert_array_equal(volume.astype(np.float64), expected)
        # Against dcm2niix for the non-integral slopes.
        for slope in (0.5, 0.3):
            folder = self.path("MR_%s_0_12" % slope)
            header, volume, _ = self.converted(folder)
            self.against_dcm2niix(folder, volume, header["spacing"], exact=False)

    def test_per_slice_slopes(self):
        rng = np.random.default_rng(4)
        stored = rng.integers(0, 4096, (3, 5, 4)).astype(np.uint16)
        slopes = [0.25, 1.5, 2.0]
        write_series(self.path("mr"), stored, [0, 1, 2], modality="MR", intercept=0, bits_stored=12,
                     tweak=lambda k, ds: setattr(ds, "RescaleSlope", slopes[k]))
        header, volume, _ = self.converted(self.path("mr"))
        self.assertEqual(header["dtype"], "vrdFloat")
        np.testing.assert_array_equal(volume, stored * np.array(slopes)[:, None, None])

    def test_uneven_spacing_gives_a_rectz_grid(self):
        rng = np.random.default_rng(5)
        stored = rng.integers(0, 4096, (5, 6, 7)).astype(np.uint16)
        zs = [0, 1, 2, 4, 7]
        write_series(self.path("ct"), stored, zs, bits_stored=12)
        header, volume, err = self.converted(self.path("ct"))
        self.assertEqual(header["vtype"], "rectz")
        # Each slice's distance from the one before, the first repeating the second's: 1 1 1 2 3.
        self.assertEqual(header["rz"], {"count": 5, "first": 1, "last": 3, "min": 1, "max": 3})
        np.testing.assert_array_equal(volume, stored.astype(np.int32) - 1024)
        self.assertIn("unevenly spaced", err)
        self.assertFalse([c for c in header["comments"] if c.startswith("orientation:")])
        # NIfTI cannot hold it: refused, or the mean with --uniform.
        self.assertIn("--uniform", convert(self.path("ct"), self.path("u.nii"))[1])
        status, err = convert("--uniform", self.path("ct"), self.path("u.nii"))
        self.assertEqual(status, 0, err)
        self.assertAlmostEqual(float(nib.load(self.path("u.nii")).header.get_zooms()[2]), 1.75, places=5)
        status, err = convert("--uniform", self.path("out.vrd"), self.path("v.nii"))
        self.assertEqual(status, 0, err)
        self.assertAlmostEqual(float(nib.load(self.path("v.nii")).header.get_zooms()[2]), 8 / 5, places=5)

    def test_nearly_even_positions_are_regular(self):
        stored = np.zeros((4, 3, 3), np.uint16)
        write_series(self.path("ct"), stored, [0, 0.6001, 1.1999, 1.8], bits_stored=12)
        header, _, _ = self.converted(self.path("ct"))
        self.assertEqual(header["vtype"], "regular")
        self.assertAlmostEqual(header["spacing"][2], 0.6, places=5)

    def test_sagittal_slices_sort_along_their_normal(self):
        stored = np.arange(4 * 3 * 2, dtype=np.uint16).reshape(4, 3, 2)
        # Sagittal: rows along y, columns along z; the normal is x.
        sagittal = [0, 1, 0, 0, 0, -1]
        write_series(self.path("sag"), stored, [(x, 5, 9) for x in (3, 1, 2, 0)], orientation=sagittal,
                     bits_stored=12)
        _, volume, _ = self.converted(self.path("sag"))
        # row x column = (0, 1, 0) x (0, 0, -1) = -x: the largest x comes first.
        np.testing.assert_array_equal(volume, stored[[0, 2, 1, 3]].astype(np.int32) - 1024)

    def test_the_patient_space_goes_on_to_nifti_where_dcm2niix_puts_it(self):
        rng = np.random.default_rng(8)
        stored = rng.integers(0, 4096, (6, 5, 7)).astype(np.uint16)
        c, s = np.cos(0.3), np.sin(0.3)
        oblique = [c, s, 0, 0, 0, -1]  # normal: row x column = (-s, c, 0)
        origin = np.array([-40.0, 12.5, 30.0])
        positions = [tuple(origin + 1.5 * k * np.array([-s, c, 0])) for k in range(6)]
        write_series(self.path("ct"), stored, positions, orientation=oblique, bits_stored=12)
        header, _, _ = self.converted(self.path("ct"))
        self.assertEqual([line.split(";")[0] for line in header["comments"]], ["orientation: LPS"])
        # dcm2niix stores the rows bottom up: its voxel (i, ny - 1 - j, k) is ours (i, j, k).
        theirs = nib.load(self.path(dcm2niix_file(self.path("ct"), tempfile.mkdtemp(dir=self.tmp)))).affine
        flip = np.diag([1.0, -1, 1, 1])
        flip[1, 3] = stored.shape[1] - 1
        for source in (self.path("ct"), self.path("out.vrd")):
            status, err = convert(source, self.path("o.nii"))
            self.assertEqual(status, 0, err)
            np.testing.assert_allclose(nib.load(self.path("o.nii")).affine, theirs @ flip, atol=1e-4)

    def test_two_series_are_listed_and_chosen(self):
        a = np.full((2, 4, 4), 5, np.uint16)
        b = np.full((3, 8, 6), 7, np.uint16)
        folder = self.path("two")
        write_series(folder, a, [0, 1], uid="1.2.3.4.1", number=2, description="scout",
                     names=["a1.dcm", "a2.dcm"], bits_stored=12)
        write_series(folder, b, [0, 1, 2], uid="1.2.3.4.2", number=5, description="axial 1mm",
                     names=["b1.dcm", "b2.dcm", "b3.dcm"], bits_stored=12)
        err = self.refused(folder)
        self.assertIn("2 series", err)
        self.assertIn('2 "scout" (4 x 4, 2 files)', err)
        self.assertIn('5 "axial 1mm" (6 x 8, 3 files)', err)
        self.assertIn("--series", err)
        header, volume, _ = self.converted(folder, "--series", "5")
        self.assertEqual(volume.shape, (3, 8, 6))
        header, volume, _ = self.converted(folder, "--series", "1.2.3.4.1")
        self.assertEqual(volume.shape, (2, 4, 4))
        self.assertIn("no series 9", self.refused(folder, "--series", "9"))

    def test_compressed_transfer_syntaxes(self):
        if GDCMCONV is None:
            self.skipTest("gdcmconv missing")
        rng = np.random.default_rng(6)
        stored = rng.integers(-1024, 3000, (4, 32, 40)).astype(np.int16)
        write_series(self.path("plain"), stored, [0, 2, 4, 6], intercept=0, bits_stored=16)
        for option in ("--jpeg", "--jpegls", "--j2k", "--rle"):
            with self.subTest(option=option):
                folder = self.path(option.strip("-"))
                os.makedirs(folder)
                for name in os.listdir(self.path("plain")):
                    subprocess.run([GDCMCONV, option, os.path.join(self.path("plain"), name),
                                    os.path.join(folder, name)], check=True, capture_output=True)
                ts = pydicom.dcmread(os.path.join(folder, name)).file_meta.TransferSyntaxUID
                self.assertTrue(ts.is_compressed, ts)
                header, volume, _ = self.converted(folder)
                self.assertEqual(header["dtype"], "vrdIntHU")
                np.testing.assert_array_equal(volume, stored)
                if option == "--jpeg":
                    self.against_dcm2niix(folder, volume, header["spacing"])

    def test_undecodable_transfer_syntax_is_named(self):
        stored = np.zeros((2, 4, 4), np.uint16)

        def mpeg(k, ds):
            ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.4.100"
            ds.PixelData = pydicom.encaps.encapsulate([b"\0" * 32])
            ds["PixelData"].VR = "OB"
            ds.is_implicit_VR = False
        write_series(self.path("mpeg"), stored, [0, 1], bits_stored=12, tweak=mpeg)
        err = self.refused(self.path("mpeg"))
        self.assertIn("transfer syntax 1.2.840.10008.1.2.4.100", err)
        self.assertIn("cannot be decoded", err)

    def test_privacy_and_kept_tags(self):
        write_series(self.path("ct"), np.zeros((2, 4, 4), np.uint16), [0, 1], bits_stored=12)
        header, _, _ = self.converted(self.path("ct"))
        place = "orientation: LPS; size 4 4 2; spacing 0.75 0.5 1; directions (0.75,0,0) (0,0.5,0) (0,0,1); " \
                "origin (-100,-120,0)"
        self.assertEqual(header["comments"], [place])
        header, _, _ = self.converted(self.path("ct"), "--keep-tags", out="kept.vrd")
        self.assertEqual(header["comments"], ["DICOM Modality: CT", "DICOM SeriesDescription: head",
                                              "DICOM StudyDate: 20240102", "DICOM ManufacturerModelName: Model Nine",
                                              "DICOM KVP: 120", "DICOM ConvolutionKernel: B30f", place])
        for name in ("out.vrd", "kept.vrd"):
            data = open(self.path(name), "rb").read()
            for secret in (b"Doe", b"PID-4711", b"19700101", b"Sample Hospital", b"Roe", b"1.2.826.0.1"):
                self.assertNotIn(secret, data)

    def test_other_files_are_skipped(self):
        write_series(self.path("ct"), np.zeros((2, 4, 4), np.uint16), [0, 1], bits_stored=12)
        with open(self.path("ct", "README"), "w") as f:
            f.write("notes about the scan\n")
        _, volume, err = self.converted(self.path("ct"))
        self.assertEqual(volume.shape[0], 2)
        self.assertIn("1 file not DICOM images of a series (README)", err)
        os.makedirs(self.path("empty"))
        self.assertIn("the folder is empty", self.refused(self.path("empty")))

    def test_refusals_name_the_files_and_the_reason(self):
        z = np.zeros((3, 4, 4), np.uint16)

        def case(name, tweak, positions=(0, 1, 2)):
            folder = self.path(name)
            write_series(folder, z, list(positions), bits_stored=12, tweak=tweak,
                         names=["s0.dcm", "s1.dcm", "s2.dcm"])
            return self.refused(folder)

        def other_size(k, ds):
            if k == 2:
                ds.Rows, ds.PixelData = 2, b"\0" * 16
        self.assertRegex(case("size", other_size), r"s2.dcm is 4 x 2, s0.dcm 4 x 4: slices of other sizes")

        def rotated(k, ds):
            if k == 1:
                ds.ImageOrientationPatient = [0, 1, 0, 1, 0, 0]
        self.assertIn("s1.dcm and s0.dcm differ in orientation", case("orientation", rotated))

        def inverted(k, ds):
            if k == 1:
                ds.PhotometricInterpretation = "MONOCHROME1"
        self.assertIn("photometric interpretations differ", case("photometric", inverted))

        def colour(k, ds):
            ds.PhotometricInterpretation, ds.SamplesPerPixel, ds.PlanarConfiguration = "RGB", 3, 0
            ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelData = 8, 8, 7, b"\0" * 48
        self.assertIn("only greyscale", case("rgb", colour))

        self.assertIn("s1.dcm and s2.dcm lie at the same position", case("duplicate", None, (0, 1, 1)))

        def tilt(k, ds):
            ds.GantryDetectorTilt = 15
        self.assertIn("gantry tilt of 15 degrees", case("tilt", tilt))
        sheared = case("sheared", None, [(-100, -120 + 0.5 * k, k) for k in range(3)])
        self.assertIn("s0.dcm to s2.dcm: the slices move 1 mm within their plane", sheared)

        def unplaced(k, ds):
            del ds.ImagePositionPatient
        self.assertIn("no ImagePositionPatient", case("unplaced", unplaced))

    def test_sizes_the_bytes_cannot_hold(self):
        folder = self.path("short")
        write_series(folder, np.zeros((1, 4, 4), np.uint16), [0], bits_stored=12, names=["a.dcm"])
        path = os.path.join(folder, "a.dcm")
        data = bytearray(open(path, "rb").read())
        # Pixel data that announce 2 GiB.
        at = data.find(b"\xe0\x7f\x10\x00OW")
        data[at + 8:at + 12] = (0x7FFFFFF0).to_bytes(4, "little")
        open(path, "wb").write(data)
        err = self.refused(folder)
        self.assertIn("a.dcm: element (7FE0,0010)", err)
        self.assertIn("announces 2147483632 bytes", err)
        # An image larger than its pixel data.
        write_series(folder, np.zeros((1, 4, 4), np.uint16), [0], bits_stored=12, names=["a.dcm"],
                     tweak=lambda k, ds: setattr(ds, "Rows", 40000))
        self.assertIn("announces 4 x 40000 values of 16 bits, but its pixel data hold 32 bytes",
                      self.refused(folder))
        # A damaged file in the middle of a sequence.
        write_series(folder, np.zeros((1, 4, 4), np.uint16), [0], bits_stored=12, names=["a.dcm"],
                     tweak=lambda k, ds: setattr(ds, "ReferencedImageSequence", [Dataset()]))
        data = bytearray(open(path, "rb").read())
        at = data.find(b"\x08\x00\x40\x11SQ")
        data[at + 8:at + 12] = (0x10000).to_bytes(4, "little")
        open(path, "wb").write(data)
        self.assertIn("announces 65536 bytes", self.refused(folder))

    def test_a_fault_in_gdcm_refuses_the_file(self):
        # A damaged RLE stream on which GDCM's decoder reads out of bounds (found by fuzzing).
        fuzz = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz", "regress", "foreign")
        os.makedirs(self.path("rle"))
        with open(os.path.join(fuzz, "dicom-rle-gdcm-segfault"), "rb") as f:
            data = f.read()[1:]  # after the fuzz target's selector byte
        with open(self.path("rle", "a.dcm"), "wb") as f:
            f.write(data)
        err = self.refused(self.path("rle"))
        self.assertIn("a.dcm: the pixel data cannot be decoded (transfer syntax 1.2.840.10008.1.2.5 (RLE", err)

    def test_an_installed_program_finds_gdcm_wherever_it_is_moved(self):
        # GDCM is loaded from a module beside the program's bin folder, and only for DICOM.
        write_series(self.path("ct"), [np.full((4, 5), k, np.int16) for k in range(3)], [0, 1, 2])
        subprocess.run(["cmake", "--install", os.environ["VRD_BUILD_DIR"], "--prefix", self.path("installed")],
                       check=True, capture_output=True)
        os.rename(self.path("installed"), self.path("moved"))
        program = self.path("moved", "bin", "vrdconvert")
        run = subprocess.run([program, self.path("ct"), self.path("a.vrd")], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        modules = [os.path.join(d, f) for d, _, files in os.walk(self.path("moved")) for f in files
                   if f == "vrdconvert-gdcm.so"]
        self.assertEqual(len(modules), 1)
        os.remove(modules[0])
        run = subprocess.run([program, self.path("ct"), self.path("b.vrd")], capture_output=True, text=True)
        self.assertEqual(run.returncode, 255)
        self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
        self.assertIn("GDCM's module, which cannot be loaded", run.stderr)
        self.assertFalse(os.path.exists(self.path("b.vrd")))
        # Everything else goes on without it.
        self.assertEqual(subprocess.run([program, self.path("a.vrd"), self.path("a.nii")]).returncode, 0)


if __name__ == "__main__":
    unittest.main()
