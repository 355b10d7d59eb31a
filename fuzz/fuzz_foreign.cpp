// Fuzz target: vrdconvert's NIfTI, NRRD, TIFF and DICOM readers on a hostile
// file. The first byte picks the reader ('T': TIFF; 'D': DICOM, read as a
// folder of one file; otherwise bit 0 clear: NIfTI, set: NRRD) and, for
// NIfTI and NRRD with bit 7 set, the volume of a 4-D file (bits 5-6: 0 to
// 3); the rest is the file, written to a scratch folder since the readers
// open paths (an NRRD header may name a data file beside it). A reader that
// accepts a
// header must describe a volume whose sizes fit; every slice is then read,
// up to a bound on what the target allocates, and every refusal has a reason.
#include "dicom.h"
#include "foreign.h"
#include "tiff.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void failCheck(const char *what)
{
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

// The scratch folder, removed with its files when the process ends.
struct Scratch {
    std::string dir;
    Scratch()
    {
        char name[] = "/tmp/vrd_fuzz_foreign.XXXXXX";
        if (mkdtemp(name) == nullptr)
            failCheck("cannot make a scratch folder");
        dir = name;
    }
    ~Scratch()
    {
        remove((dir + "/in.nii").c_str());
        remove((dir + "/in.nrrd").c_str());
        remove((dir + "/in.tif").c_str());
        remove((dir + "/dicom/in.dcm").c_str());
        rmdir((dir + "/dicom").c_str());
        rmdir(dir.c_str());
    }
};

const std::string &scratchDir()
{
    static const Scratch scratch;
    return scratch.dir;
}

constexpr uint64_t kSliceLimit = uint64_t{1} << 24, kVolumeLimit = uint64_t{1} << 26;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool tiff = data[0] == 'T', dicom = data[0] == 'D', nrrd = !tiff && !dicom && (data[0] & 1) != 0;
    if (dicom)
        mkdir((scratchDir() + "/dicom").c_str(), 0700);
    const std::string path =
        scratchDir() + (tiff ? "/in.tif" : dicom ? "/dicom/in.dcm" : nrrd ? "/in.nrrd" : "/in.nii");
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        failCheck("cannot write the scratch file");
    fwrite(data + 1, 1, size - 1, file);
    fclose(file);

    vrdconvert::Volume v;
    std::string error;
    const int64_t volume = (data[0] & 0x80) != 0 ? (data[0] >> 5) & 3 : -1;
    vrdconvert::DicomSeries series;
    const std::unique_ptr<vrdconvert::SliceSource> source =
        tiff    ? vrdconvert::openTiff(path, &v, &error)
        : dicom ? vrdconvert::openDicom(scratchDir() + "/dicom", vrdconvert::DicomRequest{"", true}, &v, &series, &error)
        : nrrd  ? vrdconvert::openNrrd(path, &v, &error, volume)
                : vrdconvert::openNifti(path, &v, &error, volume);
    if (source == nullptr) {
        if (error.empty())
            failCheck("refused without a reason");
        return 0;
    }
    uint64_t sliceBytes = 0, volumeBytes = 0;
    if (!vrdconvert::volumeBytes(v, &sliceBytes, &volumeBytes, &error))
        failCheck("accepted a volume whose sizes do not fit");
    if (sliceBytes > kSliceLimit || volumeBytes > kVolumeLimit)
        return 0;
    std::vector<unsigned char> slice(static_cast<size_t>(sliceBytes));
    for (int64_t z = 0; z < v.nz; ++z)
        if (!source->read(slice.data(), &error)) {
            if (error.empty())
                failCheck("a slice failed without a reason");
            return 0;
        }
    source->trailingData();
    return 0;
}
