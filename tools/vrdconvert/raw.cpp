// Headerless raw data: the values slice after slice, nothing else.
//
// The size, type and byte order come from the user. A regular file must hold
// exactly the volume (both sizes are named when it does not); a pipe or
// device is read as far as the volume goes, any further bytes counting as
// trailing data. Output is in this machine's byte order.
#include "stream.h"

namespace vrdconvert {

std::unique_ptr<SliceSource> openRaw(const std::string &path, const Volume &given, std::string *error)
{
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(given, &slice, &total, error))
        return nullptr;
    auto in = std::make_unique<InputStream>();
    if (!in->open(path, error))
        return nullptr;
    if (in->regular() && in->fileSize() != total) {
        *error = format("the file holds %llu bytes, not the %llu bytes of a %lld x %lld x %lld %s volume",
                        (unsigned long long)in->fileSize(), (unsigned long long)total, (long long)given.nx,
                        (long long)given.ny, (long long)given.nz, scalarName(given.type));
        return nullptr;
    }
    if (!in->startData(false, error))
        return nullptr;
    return makeBinarySource(std::move(in), given);
}

std::unique_ptr<SliceSink> createRaw(FILE *file, const Volume &v, std::string *error)
{
    return makeSink(file, v, Encoding::Raw, 0, std::string(), std::string(), error);
}

} // namespace vrdconvert
