#!/usr/bin/env bash
# Writes the DICOM seeds of fuzz_foreign: small slices written by pydicom
# (explicit and implicit little-endian, big-endian, no preamble, 8/16/32-bit,
# signed, rescaled, with nested sequences of defined and undefined length)
# and re-encoded by gdcmconv (JPEG lossless, JPEG-LS, JPEG 2000, RLE), each
# behind the target's selector byte 'D'.
# Usage: fuzz/make_dicom_seeds.sh [OUTDIR]   (default fuzz/corpus/foreign)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-fuzz/corpus/foreign}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
/usr/bin/python3 - "$tmp" <<'PY'
import sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence

tmp = sys.argv[1]
def slice_(name, values, ts="1.2.840.10008.1.2.1", modality="CT", slope=1, intercept=-1024, preamble=True,
           sequence=False, bits_stored=None):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    meta.MediaStorageSOPInstanceUID = "1.2.3.4.5.6"
    meta.TransferSyntaxUID = ts
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = ts != "1.2.840.10008.1.2.2"
    ds.is_implicit_VR = ts == "1.2.840.10008.1.2"
    ds.Modality, ds.SeriesInstanceUID, ds.SeriesNumber, ds.SeriesDescription = modality, "1.2.3", 7, "seed"
    ds.Rows, ds.Columns = values.shape
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated = values.dtype.itemsize * 8
    ds.BitsStored = bits_stored or ds.BitsAllocated
    ds.HighBit = ds.BitsStored - 1
    ds.PixelRepresentation = int(values.dtype.kind == "i")
    ds.ImageOrientationPatient, ds.ImagePositionPatient = [1, 0, 0, 0, 1, 0], [0, 0, 0]
    ds.PixelSpacing, ds.SliceThickness = [0.5, 0.5], 1
    ds.RescaleSlope, ds.RescaleIntercept = slope, intercept
    if sequence:
        item = Dataset()
        item.ReferencedSOPClassUID, item.ReferencedSOPInstanceUID = "1.2.3", "1.2.3.4"
        inner = Dataset()
        inner.CodeValue, inner.CodingSchemeDesignator = "T-A0100", "SRT"
        item.AnatomicRegionSequence = Sequence([inner])
        ds.ReferencedImageSequence = Sequence([item, Dataset()])
    ds.PixelData = values.astype(values.dtype.newbyteorder("<" if ds.is_little_endian else ">")).tobytes()
    if not preamble:
        ds.preamble = None
    ds.save_as("%s/%s.dcm" % (tmp, name), write_like_original=not preamble)

ramp = np.arange(48).reshape(6, 8)
slice_("ct", (ramp * 37 - 500).astype(np.int16))
slice_("ct12", (ramp * 80).astype(np.uint16), bits_stored=12)
slice_("mr", (ramp * 90).astype(np.uint16), ts="1.2.840.10008.1.2", modality="MR", slope=0.5, intercept=0)
slice_("big", (ramp * 3 - 60).astype(np.int16), ts="1.2.840.10008.1.2.2")
slice_("bare", ramp.astype(np.uint8), modality="MR", intercept=0, preamble=False)
slice_("u32", (ramp * 100000).astype(np.uint32), modality="PT", slope=0.3, intercept=0)
slice_("seq", (ramp - 20).astype(np.int16), sequence=True)
PY
for option in --jpeg --jpegls --j2k --rle; do
  gdcmconv "$option" "$tmp/ct.dcm" "$tmp/ct$option.dcm"
done
gdcmconv --rle "$tmp/seq.dcm" "$tmp/seq-rle.dcm"
for f in "$tmp"/*.dcm; do
  printf 'D' | cat - "$f" >"$tmp/seed"
  cp "$tmp/seed" "$out/$(sha1sum "$tmp/seed" | cut -c1-40)"
done
echo "DICOM seeds written to $out"
