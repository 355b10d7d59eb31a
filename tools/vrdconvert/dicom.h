// DICOM series in: a folder holding the files of one series (or several,
// one of them chosen), read with GDCM.
//
// The tags of every file are read first, without pixel data; the series is
// checked, its slices sorted along the slice normal and its value type
// chosen; then the source decodes one file's pixels per slice and applies
// RescaleSlope/Intercept. Memory holds one small record per file and one
// slice, never the volume. Before GDCM reads a file, every length its
// elements announce is checked against the bytes that follow, since GDCM
// sizes its buffers by the announced lengths.
#ifndef VRDCONVERT_DICOM_H
#define VRDCONVERT_DICOM_H

#include "foreign.h"

#include <vrd/vrd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vrdconvert {

struct DicomRequest {
    std::string series; // --series: a SeriesNumber or SeriesInstanceUID; empty for the only one
    bool keepTags = false;
};

// What a vrd header needs beyond the Volume.
struct DicomSeries {
    int32_t dtype = 0;              // vrd dtype of the rescaled values
    std::vector<float> sliceSpacing; // nz spacings when the slices are unevenly spaced, else empty
};

// The spacing of slice i in sliceSpacing is its distance from slice i-1;
// slice 0 repeats slice 1's. v gets the size, the type of the rescaled
// values (in this machine's order), PixelSpacing and the even slice
// spacing (or the mean of uneven ones), millimetres, the --keep-tags
// comments and notes. Refusals name the files concerned and the reason.
std::unique_ptr<SliceSource> openDicom(const std::string &dir, const DicomRequest &, Volume *v, DicomSeries *series,
                                       std::string *error);

// A vrd header made from the Volume gets the uneven slice spacings as a
// vrdRectZ grid, or with uniform keeps the mean spacing and says so in note.
void dicomGrid(const DicomSeries &, bool uniform, VrdHeader *h, std::string *note);

// Checks that every element length the DICOM file at path announces fits
// the bytes after it (nested sequences and encapsulated fragments too),
// reading element headers only. transferSyntax gets the file meta
// information's transfer syntax UID (empty when the file has none).
bool checkDicomLengths(const std::string &path, std::string *transferSyntax, std::string *error);

} // namespace vrdconvert

#endif
