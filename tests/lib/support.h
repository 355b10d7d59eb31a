// Helpers shared by the library tests.
#ifndef VRD_TESTS_SUPPORT_H
#define VRD_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vrd/vrd.h"

extern "C" int vrdTestFailStrdup;

// A temporary read/write stream holding bytes, positioned at its start.
FILE *streamOf(const std::string &bytes);

// Everything in the stream from its start; leaves it at its end.
std::string contentsOf(FILE *file);

// What the stream holds from its current position on.
std::string restOf(FILE *file);

// Runs fn on a fresh temporary stream and returns what it wrote.
template <typename Fn>
std::string writtenBy(Fn fn)
{
    FILE *file = tmpfile();
    fn(file);
    std::string bytes = contentsOf(file);
    fclose(file);
    return bytes;
}

// Matches a death test's standard error text exactly.
testing::Matcher<const std::string &> Exactly(const std::string &text);

// A small header that validation accepts: 4 x 2 x 3 vrdUChar voxels, cubic grid.
VrdHeader validHeader();

// A volume file: the PNM lines and format line, the given header lines,
// "#!last", "255" and an icon of iconBytes zero bytes.
std::string volumeText(const std::vector<std::string> &lines, const std::string &pnm = "P5\n4 2\n",
                       size_t iconBytes = 8);

// The key lines of a header that validation accepts (matching validHeader).
std::vector<std::string> validLines();

#endif
