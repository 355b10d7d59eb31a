// What vrdconvert asks of GDCM, as plain C calls in a module of their own
// (vrdconvert-gdcm.so). GDCM builds its whole DICOM dictionary when it is
// loaded, which takes about 40 ms: linked into the program, every run would
// pay for it, so the module is loaded only when a DICOM input is read.
#ifndef VRDCONVERT_GDCM_CALLS_H
#define VRDCONVERT_GDCM_CALLS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vrdconvert {

// One image as the decoder expects it, and what GDCM made of it.
struct GdcmImage {
    // asked
    uint32_t columns, rows;
    uint64_t values, room; // values of the image; bytes pixels can take
    // told
    uint32_t bytes, isSigned, decoded;
    char message[300]; // why it was not decoded, when GDCM says
};

extern "C" {
struct GdcmCalls {
    // Keeps GDCM from printing and has its dictionaries built.
    void (*quiet)(void);
    // Reads the tags up to the pixel data; block gets a status byte (1: read)
    // and for each of the count (group, element) pairs in tags its value as
    // a 2-byte length and at most mostText bytes of text.
    void (*fetchTags)(const char *path, const uint16_t *tags, size_t count, size_t mostText, uint8_t *block);
    // Whether one of GDCM's codecs decodes the transfer syntax.
    int (*decodable)(const char *uid);
    // The transfer syntax's name, or null when GDCM does not know the UID.
    const char *(*uidName)(const char *uid);
    // Decodes the image of the file at path into pixels (image->room bytes).
    void (*decode)(const char *path, GdcmImage *image, uint8_t *pixels);
};

// The module's one symbol.
const GdcmCalls *vrdconvertGdcmCalls(void);
}

// The calls, loaded on first use; null with a one-line reason in error when
// the module cannot be loaded.
const GdcmCalls *gdcmCalls(std::string *error);

} // namespace vrdconvert

#endif
