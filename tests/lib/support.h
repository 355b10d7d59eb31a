// Helpers of the library tests.
#ifndef VRD_TESTS_LIB_SUPPORT_H
#define VRD_TESTS_LIB_SUPPORT_H

#include "volumes.h"

using namespace testkit;

extern "C" int vrdTestFailStrdup; // makes the next strdup calls fail

// Matches a death test's standard error text exactly.
inline testing::Matcher<const std::string &> Exactly(const std::string &text) { return testing::Eq(text); }

// A small header that validation accepts: 4 x 2 x 3 vrdUChar voxels, cubic grid.
inline VrdHeader validHeader() { return header(4, 2, 3, vrdUChar, vrdCompNone); }

// The key lines of a header that validation accepts (matching validHeader).
inline std::vector<std::string> validLines()
{
    return {"#!endian vrdLittleEndian", "#!compression none", "#!vdim 4 2 3", "#!vtype vrdCubic",
            "#!px 1.0", "#!nbands 1", "#!dtype vrdUChar", "#!units vrdUmm"};
}

// A volume file: the PNM lines, the format line, the given header lines,
// "#!last", "255" and an icon of iconBytes zero bytes.
inline std::string volumeText(const std::vector<std::string> &lines, const std::string &pnm = "P5\n4 2\n",
                              size_t iconBytes = 8)
{
    std::string text = pnm + "#!vrd 6.0\n";
    for (const std::string &line : lines)
        text += line + "\n";
    return text + "#!last\n255\n" + std::string(iconBytes, '\0');
}

#endif
