// Building blocks the three formats share: a byte input that reads a file
// plainly or inflates gzip through fixed buffers, a gzip member writer, the
// slice source and sink that sit on them, and small text helpers.
#ifndef VRDCONVERT_STREAM_H
#define VRDCONVERT_STREAM_H

#include "foreign.h"

#include <zlib.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vrdconvert {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// The most bytes deflate can make of one compressed byte: a 258-byte match
// coded in two bits. Gzip data shorter than total/1032 cannot hold the volume.
constexpr uint64_t kDeflateMaxRatio = 1032;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reverses the bytes of each of count values of width bytes, in place.
void swapBytes(void *values, uint64_t count, int width);

// A file read from its start, first as raw bytes (headers, text) and then, from
// startData() on, as the data: the same bytes, or what they inflate to.
class InputStream {
public:
    InputStream();
    ~InputStream();
    InputStream(const InputStream &) = delete;
    InputStream &operator=(const InputStream &) = delete;

    bool open(const std::string &path, std::string *error);
    bool regular() const { return regular_; }
    uint64_t fileSize() const { return fileSize_; }
    uint64_t position() const { return filePos_ - (end_ - pos_); } // file offset of the next raw byte

    // Raw layer: the next byte, or -1 at the end of the file or on an error (see error()).
    int getByte();
    const std::string &error() const { return error_; }
    // True when the next two raw bytes are the gzip magic.
    bool gzipAhead();
    // Skips raw bytes; false with a reason on a read error or the end of the file.
    bool skipRaw(uint64_t n, std::string *error);
    // Moves to a raw offset of a regular file.
    bool seekRaw(uint64_t offset, std::string *error);

    // From here on read() and skip() deliver the data, inflated when gzip.
    bool startData(bool gzip, std::string *error);
    // Up to n data bytes; *got < n only at the end of the data.
    bool read(void *dst, size_t n, size_t *got, std::string *error);
    bool skip(uint64_t n, std::string *error); // false at the end of the data, too
    // Reads to the end of the data (checking a gzip trailer); more is set when
    // any data byte was left.
    bool drain(bool *more, std::string *error);

private:
    bool fill();              // refills an empty buffer; false on a read error
    bool ensure(size_t n);    // at least n raw bytes buffered unless the file ends first
    bool inflateSome(uint8_t *dst, size_t n, size_t *got, std::string *error);

    FILE *file_ = nullptr;
    bool regular_ = false;
    uint64_t fileSize_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t pos_ = 0, end_ = 0;
    uint64_t filePos_ = 0; // file offset of buffer_[end_]
    std::string error_;
    bool gzip_ = false, inflating_ = false, ended_ = false, garbage_ = false;
    z_stream zs_{};
    std::unique_ptr<uint8_t[]> scratch_;
};

// Refuses, before any data is read, a regular file too short for skip plus
// total data bytes from raw offset from on: plainly stored, or deflated at
// the most deflate can do. Other files are checked as they are read.
bool checkDataFits(const InputStream &in, uint64_t from, bool gzip, uint64_t skip, uint64_t total,
                   std::string *error);

// The place of volume number `volume` (from 0; -1: none asked for) among a
// file's `volumes` 3-D volumes of v's size: data bytes before it and after
// it, and of all of them. False with a reason when a 4-D file comes without
// a volume asked for (the reason names the option), the number is out of
// range, or the sizes overflow.
bool pickVolume(const Volume &v, int64_t volumes, int64_t volume, uint64_t *before, uint64_t *after,
                uint64_t *all, std::string *error);

// Slices of stored binary values from an InputStream positioned at the data;
// skipAfter data bytes (the volumes of a 4-D file after the one read) are
// passed over after the last slice, before the check for trailing data.
std::unique_ptr<SliceSource> makeBinarySource(std::unique_ptr<InputStream> in, const Volume &v,
                                              uint64_t skipAfter = 0);

// The sink of all three formats: header bytes written before the data
// (plainHeader, never compressed) and at the start of the data (dataHeader,
// deflated with it), then the slices.
std::unique_ptr<SliceSink> makeSink(FILE *file, const Volume &v, Encoding, int level, const std::string &plainHeader,
                                    const std::string &dataHeader, std::string *error);

// ASCII whitespace, trimming and lower-casing for header text.
std::string trim(const std::string &);
std::string lower(const std::string &);

// The shortest decimal text that reads back as float f, as a double: so a
// vrd spacing of 0.3 is written as 0.3, not 0.30000001192092896.
double shortestOfFloat(float f);

} // namespace vrdconvert

#endif
