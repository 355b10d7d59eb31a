// vrdconvert's command line: the two files, their formats by name, and the
// options, each checked against the formats it applies to.
#ifndef VRDCONVERT_OPTIONS_H
#define VRDCONVERT_OPTIONS_H

#include "dicom.h"
#include "foreign.h"

#include <cstdint>
#include <string>

namespace vrdconvert {

enum class Format { Vrd, Nrrd, Nhdr, Nifti, NiftiGz, Raw, Tiff, Dicom }; // Dicom: a folder, input only

// By the end of the name, without regard to case; false for any other name.
bool formatOf(const std::string &path, Format *format);
const char *formatName(Format);

struct Options {
    const char *in = nullptr, *out = nullptr;
    Format inFormat = Format::Vrd, outFormat = Format::Vrd;
    int32_t vrdCompression = 0; // vrdCompZlib or vrdCompNone once parsed
    Encoding encoding = Encoding::Gzip; // of NRRD output
    bool uniform = false;
    bool dataAnywhere = false; // a detached NRRD header may name any data file but a device
    bool nifti2 = false;     // NIfTI output as NIfTI-2 even when NIfTI-1 holds it
    int64_t volume = -1;     // --volume N of a 4-D input; -1 when not given
    Volume raw;              // size, type and byte order of raw input
    int32_t rawDtype = 0;    // the vrd type --type named, if it named one
    DicomRequest dicom;      // --series, --keep-tags
};

// Parses the arguments after the program name; a wrong one ends the run
// with a one-line refusal (status 255) or the usage lines.
Options parseOptions(int argc, char **argv);

} // namespace vrdconvert

#endif
