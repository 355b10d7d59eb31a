// vrdinfo: a volume's header in words, and the text pieces of its JSON line.
#ifndef VRDINFO_DESCRIBE_H
#define VRDINFO_DESCRIBE_H

#include <vrd/vrd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace vrdinfo {

// The icon image as its PNM lines give it.
struct Icon {
    int32_t width = 0, height = 0;
    int32_t isColor = 0;
    uint64_t bytes = 0;
};

// The shortest text that reads back as exactly v ("1", "0.1", "2.5e-07");
// "nan", "inf" and "-inf" for the others. A float gets the shortest text of
// its own precision, so 0.1f shows as "0.1".
std::string numberText(double v);
std::string floatText(float v);

// A JSON number: numberText of a finite value, else the string "NaN",
// "Infinity" or "-Infinity". jsonFloat does the same with floatText.
std::string jsonNumber(double v);
std::string jsonFloat(float v);

// text with every ill-formed UTF-8 sequence (a maximal invalid subpart:
// stray continuation bytes, cut sequences, overlong forms, surrogates, code
// points past U+10FFFF) replaced by U+FFFD.
std::string validUtf8(const std::string &text);

// A JSON string literal of text: quoted, escaped, valid UTF-8.
std::string jsonString(const std::string &text);

// Short names of the codes ("float32", "little-endian", "rectilinear-z", "mm").
const char *dtypeName(int32_t dtype);
const char *byteOrderName(int32_t endian);
const char *compressionName(int32_t compression);
const char *gridName(int32_t vtype);
const char *unitsName(int32_t units);

// The header and the icon as indented lines "  key  words".
void describeText(FILE *out, const VrdHeader &h, const Icon &icon);

// The same as JSON members, each written as ',"key":value'.
void describeJson(FILE *out, const VrdHeader &h, const Icon &icon);

} // namespace vrdinfo

#endif
