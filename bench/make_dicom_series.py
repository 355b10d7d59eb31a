"""Writes a CT-like DICOM series for bench/dicom.sh: NZ files of 512 x 512
int16 stored values (a smooth field with noise, HU - intercept), 1 mm apart,
RescaleIntercept -1024. Usage: make_dicom_series.py DIR NZ BITS_STORED
(12: unsigned 12-bit values; 16: signed 16-bit values)."""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

folder, nz, bits = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(folder, exist_ok=True)
n = 512
y, x = np.mgrid[0:n, 0:n].astype(np.float32) / n
rng = np.random.default_rng(0)
series = generate_uid()
for k in range(nz):
    field = 1024 + 800 * np.sin(6 * x + k / 40.0) * np.cos(5 * y) + rng.normal(0, 30, (n, n))
    values = np.clip(field, 0, 4095).astype(np.uint16 if bits == 12 else np.int16)
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
    ds.PatientName, ds.PatientID, ds.Modality = "Bench^Volume", "0", "CT"
    ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = generate_uid(), series, 1, k + 1
    ds.Rows = ds.Columns = n
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = 16, bits, bits - 1
    ds.PixelRepresentation = 0 if bits == 12 else 1
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.ImagePositionPatient = [-128, -128, k * 1.0]
    ds.PixelSpacing, ds.SliceThickness = [0.5, 0.5], 1
    ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
    ds.PixelData = values.tobytes()
    ds.save_as(os.path.join(folder, "%05d.dcm" % ((k * 7919) % nz if nz % 7919 else k)), write_like_original=False)
