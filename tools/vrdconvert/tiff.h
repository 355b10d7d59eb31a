// TIFF stacks (.tif, .tiff), read and written page by page through libtiff:
// one greyscale page per slice, classic TIFF or BigTIFF. Same contract as
// the readers and writers of foreign.h: fixed memory whatever the number of
// pages, failures as false or a null pointer with a one-line reason.
//
// libtiff's process-wide message handlers are turned off the first time
// either call is made; its messages come back as the reasons instead.
#ifndef VRDCONVERT_TIFF_H
#define VRDCONVERT_TIFF_H

#include "foreign.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vrdconvert {

// A regular file of one or more pages of one size and sample type.
std::unique_ptr<SliceSource> openTiff(const std::string &path, Volume *v, std::string *error);

// Classic TIFF for stacks that fit in 4 GiB, BigTIFF for larger ones
// (bigTiffFrom: the file size from which BigTIFF is written). The file must
// be a regular one: TIFF is written by seeking. notes gets what the file
// does not keep.
constexpr uint64_t kBigTiffFrom = uint64_t{1} << 32;
std::unique_ptr<SliceSink> createTiff(FILE *file, const Volume &v, std::string *error,
                                      std::vector<std::string> *notes = nullptr,
                                      uint64_t bigTiffFrom = kBigTiffFrom);

} // namespace vrdconvert

#endif
