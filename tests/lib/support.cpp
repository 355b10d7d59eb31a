#include "support.h"

FILE *streamOf(const std::string &bytes)
{
    FILE *file = tmpfile();
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        ADD_FAILURE() << "cannot make a temporary stream";
    rewind(file);
    return file;
}

std::string restOf(FILE *file)
{
    std::string bytes;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    return bytes;
}

std::string contentsOf(FILE *file)
{
    fflush(file);
    rewind(file);
    return restOf(file);
}

testing::Matcher<const std::string &> Exactly(const std::string &text)
{
    return testing::Eq(text);
}

VrdHeader validHeader()
{
    VrdHeader h{};
    h.compression = vrdCompNone;
    h.endian = vrdLittleEndian;
    h.nx = 4;
    h.ny = 2;
    h.nz = 3;
    h.vtype = vrdCubic;
    h.px = h.py = h.pz = 1.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = vrdUChar;
    return h;
}

std::vector<std::string> validLines()
{
    return {"#!endian vrdLittleEndian", "#!compression none", "#!vdim 4 2 3", "#!vtype vrdCubic",
            "#!px 1.0", "#!nbands 1", "#!dtype vrdUChar", "#!units vrdUmm"};
}

std::string volumeText(const std::vector<std::string> &lines, const std::string &pnm, size_t iconBytes)
{
    std::string text = pnm + "#!vrd 6.0\n";
    for (const std::string &line : lines)
        text += line + "\n";
    return text + "#!last\n255\n" + std::string(iconBytes, '\0');
}
