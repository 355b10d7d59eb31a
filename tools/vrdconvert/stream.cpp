// What the formats share, and the choices made for all of them:
//
// - Input goes through one 256 KiB buffer; gzip data inflate from it into the
//   caller's slice, so a reader holds the buffer, a 64 KiB scratch area for
//   skipped bytes and zlib's state, whatever the volume's size.
// - Gzip input may be several members one after the other (as gzip itself
//   reads them). Bytes after the last member that do not start another one
//   count as trailing data, like extra bytes after a plain volume.
// - The slice read that completes the volume reads a gzip stream to its end,
//   so a wrong CRC-32 or length, or a stream cut before its trailer, fails
//   that read instead of passing unnoticed.
// - A regular file is measured before the first slice: plain data must fit
//   in what the file holds, gzip data in what its compressed bytes can
//   inflate to. A header claiming a huge volume is so refused before anyone
//   sizes a slice buffer from it.
// - Gzip output is one member: a 10-byte header (no name, no time), raw
//   deflate blocks, a final empty block, CRC-32 and length. The sink's own
//   stream runs on from slice to slice; when a chunk deflated elsewhere comes
//   in, the own stream is flushed to a byte boundary before it and started
//   anew after it, since its window would not hold the chunk's bytes.
// - Sinks write to the caller's FILE* and never close it; finish() flushes
//   it and reports any error stdio saw.
#include "stream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <sys/stat.h>

namespace vrdconvert {

namespace {

constexpr size_t kBufferSize = size_t{256} << 10;
constexpr size_t kScratchSize = size_t{64} << 10;
// zlib counts in unsigned int; larger requests go in pieces of this size.
constexpr size_t kZlibPiece = size_t{1} << 30;

std::string systemError(const char *what)
{
    return format("%s: %s", what, std::strerror(errno));
}

} // namespace

std::string format(const char *fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

void swapBytes(void *values, uint64_t count, int width)
{
    auto *p = static_cast<uint8_t *>(values);
    for (uint64_t i = 0; i < count; ++i, p += width)
        std::reverse(p, p + width);
}

std::string trim(const std::string &s)
{
    const char *space = " \t\r\n\f\v";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string lower(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

// ---- scalars and sizes ----

namespace {
struct ScalarInfo {
    Scalar type;
    int bytes;
    const char *name;
};
constexpr ScalarInfo kScalars[] = {
    {Scalar::Int8, 1, "int8"},     {Scalar::UInt8, 1, "uint8"},   {Scalar::Int16, 2, "int16"},
    {Scalar::UInt16, 2, "uint16"}, {Scalar::Int32, 4, "int32"},   {Scalar::UInt32, 4, "uint32"},
    {Scalar::Int64, 8, "int64"},   {Scalar::UInt64, 8, "uint64"}, {Scalar::Float32, 4, "float32"},
    {Scalar::Float64, 8, "float64"},
};
const ScalarInfo &info(Scalar s)
{
    return kScalars[static_cast<int>(s)];
}
} // namespace

int scalarBytes(Scalar s)
{
    return info(s).bytes;
}

const char *scalarName(Scalar s)
{
    return info(s).name;
}

bool scalarFromName(const std::string &name, Scalar *s)
{
    for (const ScalarInfo &i : kScalars)
        if (name == i.name) {
            *s = i.type;
            return true;
        }
    return false;
}

bool volumeBytes(const Volume &v, uint64_t *sliceBytes, uint64_t *totalBytes, std::string *error)
{
    if (v.nx <= 0 || v.ny <= 0 || v.nz <= 0) {
        *error = format("size %lld x %lld x %lld: every size must be positive", (long long)v.nx, (long long)v.ny,
                        (long long)v.nz);
        return false;
    }
    const uint64_t bytes = uint64_t(scalarBytes(v.type));
    uint64_t slice = 0, total = 0;
    if (__builtin_mul_overflow(uint64_t(v.nx), uint64_t(v.ny), &slice) ||
        __builtin_mul_overflow(slice, bytes, &slice) || __builtin_mul_overflow(slice, uint64_t(v.nz), &total) ||
        total > uint64_t(INT64_MAX) || slice > SIZE_MAX) {
        *error = format("size %lld x %lld x %lld of %s is too large", (long long)v.nx, (long long)v.ny,
                        (long long)v.nz, scalarName(v.type));
        return false;
    }
    *sliceBytes = slice;
    *totalBytes = total;
    return true;
}

bool pickVolume(const Volume &v, int64_t volumes, int64_t volume, uint64_t *before, uint64_t *after,
                uint64_t *all, std::string *error)
{
    uint64_t slice = 0, one = 0;
    if (!volumeBytes(v, &slice, &one, error))
        return false;
    if (volumes > 1 && volume < 0) {
        *error = format("4-D data: %lld volumes of %lld x %lld x %lld; --volume N (0 to %lld) picks one",
                        (long long)volumes, (long long)v.nx, (long long)v.ny, (long long)v.nz,
                        (long long)volumes - 1);
        return false;
    }
    if (volume < 0)
        volume = 0;
    if (volume >= volumes) {
        *error = volumes == 1 ? format("--volume %lld: the file holds one volume (0)", (long long)volume)
                              : format("--volume %lld: the file holds %lld volumes (0 to %lld)", (long long)volume,
                                       (long long)volumes, (long long)volumes - 1);
        return false;
    }
    if (__builtin_mul_overflow(one, uint64_t(volumes), all) || *all > uint64_t(INT64_MAX)) {
        *error = format("%lld volumes of %lld x %lld x %lld %s are too large", (long long)volumes, (long long)v.nx,
                        (long long)v.ny, (long long)v.nz, scalarName(v.type));
        return false;
    }
    *before = one * uint64_t(volume);
    *after = *all - *before - one;
    return true;
}

SliceSource::~SliceSource() = default;
bool SliceSource::proveFirstSlice(std::string *)
{
    return true;
}
SliceSink::~SliceSink() = default;

// ---- input ----

InputStream::InputStream() : buffer_(new uint8_t[kBufferSize]) {}

InputStream::~InputStream()
{
    if (inflating_)
        inflateEnd(&zs_);
    if (file_ != nullptr)
        fclose(file_);
}

bool InputStream::open(const std::string &path, std::string *error)
{
    file_ = fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        *error = systemError("cannot open");
        return false;
    }
    struct stat st;
    if (fstat(fileno(file_), &st) != 0) {
        *error = systemError("cannot stat");
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = "is a directory";
        return false;
    }
    regular_ = S_ISREG(st.st_mode);
    fileSize_ = regular_ ? uint64_t(st.st_size) : 0;
    return true;
}

bool InputStream::fill()
{
    if (pos_ < end_)
        return true;
    pos_ = end_ = 0;
    const size_t n = fread(buffer_.get(), 1, kBufferSize, file_);
    end_ = n;
    filePos_ += n;
    if (n == 0 && ferror(file_)) {
        error_ = systemError("read error");
        return false;
    }
    return true;
}

bool InputStream::ensure(size_t n)
{
    if (end_ - pos_ >= n)
        return true;
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    while (end_ < n) {
        const size_t got = fread(buffer_.get() + end_, 1, kBufferSize - end_, file_);
        end_ += got;
        filePos_ += got;
        if (got == 0) {
            if (ferror(file_)) {
                error_ = systemError("read error");
                return false;
            }
            break;
        }
    }
    return true;
}

int InputStream::getByte()
{
    if (pos_ == end_ && (!fill() || end_ == 0))
        return -1;
    return buffer_[pos_++];
}

bool InputStream::gzipAhead()
{
    return ensure(2) && end_ - pos_ >= 2 && buffer_[pos_] == 0x1f && buffer_[pos_ + 1] == 0x8b;
}

bool InputStream::skipRaw(uint64_t n, std::string *error)
{
    const uint64_t buffered = end_ - pos_;
    if (n <= buffered) {
        pos_ += size_t(n);
        return true;
    }
    if (regular_) {
        if (position() > fileSize_ || n > fileSize_ - position()) {
            *error = "data end before the bytes to skip";
            return false;
        }
        return seekRaw(position() + n, error);
    }
    n -= buffered;
    pos_ = end_;
    while (n > 0) {
        if (!fill()) {
            *error = error_;
            return false;
        }
        if (end_ == 0) {
            *error = "data end before the bytes to skip";
            return false;
        }
        const size_t step = size_t(std::min<uint64_t>(n, end_));
        pos_ = step;
        n -= step;
    }
    return true;
}

bool InputStream::seekRaw(uint64_t offset, std::string *error)
{
    if (!regular_ || offset > uint64_t(INT64_MAX) || fseeko(file_, off_t(offset), SEEK_SET) != 0) {
        *error = regular_ ? systemError("cannot seek") : "cannot seek in this file";
        return false;
    }
    pos_ = end_ = 0;
    filePos_ = offset;
    return true;
}

bool InputStream::startData(bool gzip, std::string *error)
{
    gzip_ = gzip;
    if (!gzip)
        return true;
    scratch_.reset(new uint8_t[kScratchSize]);
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) {
        *error = "out of memory for zlib";
        return false;
    }
    inflating_ = true;
    return true;
}

bool InputStream::inflateSome(uint8_t *dst, size_t n, size_t *got, std::string *error)
{
    *got = 0;
    while (*got < n && !ended_) {
        if (pos_ == end_) {
            if (!fill()) {
                *error = error_;
                return false;
            }
            if (end_ == 0)
                return true; // cut short: the caller sees got < n
        }
        zs_.next_in = buffer_.get() + pos_;
        zs_.avail_in = unsigned(end_ - pos_);
        zs_.next_out = dst + *got;
        zs_.avail_out = unsigned(std::min(n - *got, kZlibPiece));
        const unsigned outBefore = zs_.avail_out;
        const int r = inflate(&zs_, Z_NO_FLUSH);
        pos_ = size_t(zs_.next_in - buffer_.get());
        *got += outBefore - zs_.avail_out;
        if (r == Z_STREAM_END) {
            // Another member may follow; anything else ends the data.
            if (!ensure(2)) {
                *error = error_;
                return false;
            }
            if (end_ - pos_ >= 2 && buffer_[pos_] == 0x1f && buffer_[pos_ + 1] == 0x8b) {
                inflateReset(&zs_);
            } else {
                ended_ = true;
                garbage_ = end_ > pos_;
            }
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            *error = format("gzip data: %s", zs_.msg != nullptr ? zs_.msg : "cannot inflate");
            return false;
        }
    }
    return true;
}

bool InputStream::read(void *dst, size_t n, size_t *got, std::string *error)
{
    auto *out = static_cast<uint8_t *>(dst);
    if (gzip_)
        return inflateSome(out, n, got, error);
    size_t done = std::min(n, end_ - pos_);
    std::memcpy(out, buffer_.get() + pos_, done);
    pos_ += done;
    if (done < n && n - done >= kBufferSize) {
        const size_t direct = fread(out + done, 1, n - done, file_);
        filePos_ += direct;
        done += direct;
    }
    while (done < n) {
        if (!fill()) {
            *error = error_;
            return false;
        }
        if (end_ == 0)
            break;
        const size_t step = std::min(n - done, end_);
        std::memcpy(out + done, buffer_.get(), step);
        pos_ = step;
        done += step;
    }
    if (ferror(file_)) {
        *error = systemError("read error");
        return false;
    }
    *got = done;
    return true;
}

bool InputStream::skip(uint64_t n, std::string *error)
{
    if (!gzip_)
        return skipRaw(n, error);
    while (n > 0) {
        size_t got = 0;
        const size_t step = size_t(std::min<uint64_t>(n, kScratchSize));
        if (!inflateSome(scratch_.get(), step, &got, error))
            return false;
        if (got < step) {
            *error = "data end before the bytes to skip";
            return false;
        }
        n -= got;
    }
    return true;
}

bool InputStream::drain(bool *more, std::string *error)
{
    *more = false;
    if (!gzip_) {
        if (regular_) {
            *more = position() < fileSize_;
            return true;
        }
        if (!fill()) {
            *error = error_;
            return false;
        }
        *more = end_ > 0;
        return true;
    }
    while (!ended_) {
        size_t got = 0;
        if (!inflateSome(scratch_.get(), kScratchSize, &got, error))
            return false;
        *more = *more || got > 0;
        if (got < kScratchSize && !ended_) {
            *error = "gzip data end before their trailer";
            return false;
        }
    }
    *more = *more || garbage_;
    return true;
}

bool checkDataFits(const InputStream &in, uint64_t from, bool gzip, uint64_t skip, uint64_t total,
                   std::string *error)
{
    if (!in.regular())
        return true;
    const uint64_t have = in.fileSize() > from ? in.fileSize() - from : 0;
    uint64_t need = 0;
    if (__builtin_add_overflow(skip, total, &need))
        need = UINT64_MAX;
    if (!gzip && need > have) {
        *error = format("data end early: the file holds %llu data bytes, the volume needs %llu",
                        (unsigned long long)have, (unsigned long long)need);
        return false;
    }
    if (gzip && have < need / kDeflateMaxRatio) {
        *error = format("data end early: %llu bytes of gzip data cannot hold the %llu bytes of the volume",
                        (unsigned long long)have, (unsigned long long)need);
        return false;
    }
    return true;
}

// ---- slice source ----

namespace {

class BinarySource : public SliceSource {
public:
    BinarySource(std::unique_ptr<InputStream> in, const Volume &v, uint64_t skipAfter)
        : in_(std::move(in)), nz_(v.nz), skipAfter_(skipAfter)
    {
        uint64_t total = 0;
        std::string ignored;
        volumeBytes(v, &sliceBytes_, &total, &ignored); // checked by the format's reader
        width_ = scalarBytes(v.type);
        swap_ = width_ > 1 && v.bigEndian != kHostBigEndian;
    }

    bool read(void *buffer, std::string *error) override
    {
        if (slice_ >= nz_) {
            *error = "read past the last slice";
            return false;
        }
        size_t got = 0;
        if (!first_.empty()) {
            std::memcpy(buffer, first_.data(), first_.size());
            got = first_.size();
            std::vector<uint8_t>().swap(first_);
        } else if (!in_->read(buffer, size_t(sliceBytes_), &got, error)) {
            return false;
        }
        if (got < sliceBytes_) {
            *error = format("data end in slice %lld of %lld", (long long)slice_ + 1, (long long)nz_);
            return false;
        }
        if (swap_)
            swapBytes(buffer, sliceBytes_ / width_, width_);
        if (++slice_ == nz_ && skipAfter_ > 0 && !in_->skip(skipAfter_, error)) {
            *error = "data end in the volumes after the one read";
            return false;
        }
        if (slice_ == nz_ && !in_->drain(&trailing_, error))
            return false;
        return true;
    }

    bool trailingData() override { return trailing_; }

    bool proveFirstSlice(std::string *error) override
    {
        if (in_->regular() || slice_ > 0 || !first_.empty())
            return true;
        // Grown as the bytes come: at most twice what came, or 1 MiB.
        size_t have = 0;
        while (have < sliceBytes_) {
            const size_t want = size_t(std::min<uint64_t>(sliceBytes_, std::max<uint64_t>(2 * have, 1 << 20)));
            first_.resize(want);
            size_t got = 0;
            if (!in_->read(first_.data() + have, want - have, &got, error))
                return false;
            have += got;
            if (have < want) {
                *error = format("data end in slice 1 of %lld", (long long)nz_);
                return false;
            }
        }
        return true;
    }

private:
    std::unique_ptr<InputStream> in_;
    std::vector<uint8_t> first_; // the first slice, read ahead by proveFirstSlice
    int64_t nz_, slice_ = 0;
    uint64_t skipAfter_;
    uint64_t sliceBytes_ = 0;
    int width_ = 1;
    bool swap_ = false, trailing_ = false;
};

} // namespace

std::unique_ptr<SliceSource> makeBinarySource(std::unique_ptr<InputStream> in, const Volume &v, uint64_t skipAfter)
{
    return std::make_unique<BinarySource>(std::move(in), v, skipAfter);
}

// ---- gzip output ----

namespace {

class GzipWriter {
public:
    ~GzipWriter()
    {
        if (deflating_)
            deflateEnd(&zs_);
    }

    // Everything the writer needs, before any file is written.
    bool prepare(int level, std::string *error)
    {
        out_.reset(new (std::nothrow) uint8_t[kBufferSize]);
        if (!out_ || deflateInit2(&zs_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            *error = format("cannot start deflate at level %d", level);
            return false;
        }
        deflating_ = true;
        return true;
    }

    bool start(FILE *file, std::string *error)
    {
        file_ = file;
        // Deflate, no flags, no time, no extra flags, Unix.
        static const uint8_t header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
        return put(header, sizeof header, error);
    }

    bool write(const void *data, size_t size, std::string *error)
    {
        if (restart_) {
            deflateReset(&zs_);
            restart_ = false;
        }
        crc_ = crc32_z(crc_, static_cast<const Bytef *>(data), size);
        raw_ += size;
        pending_ = pending_ || size > 0;
        return run(static_cast<const uint8_t *>(data), size, Z_NO_FLUSH, error);
    }

    bool writeChunk(const uint8_t *data, size_t size, uint32_t crc, uint64_t rawBytes, std::string *error)
    {
        if (pending_ && !run(nullptr, 0, Z_SYNC_FLUSH, error))
            return false;
        pending_ = false;
        restart_ = true;
        if (!put(data, size, error))
            return false;
        crc_ = crc32_combine(crc_, crc, z_off_t(rawBytes));
        raw_ += rawBytes;
        return true;
    }

    bool finish(std::string *error)
    {
        if (restart_)
            deflateReset(&zs_);
        if (!run(nullptr, 0, Z_FINISH, error))
            return false;
        uint8_t trailer[8];
        for (int i = 0; i < 4; ++i) {
            trailer[i] = uint8_t(crc_ >> (8 * i));
            trailer[4 + i] = uint8_t(raw_ >> (8 * i)); // ISIZE: the length modulo 2^32
        }
        return put(trailer, sizeof trailer, error);
    }

private:
    bool put(const uint8_t *data, size_t size, std::string *error)
    {
        if (size > 0 && fwrite(data, 1, size, file_) != size) {
            *error = systemError("write error");
            return false;
        }
        return true;
    }

    // Deflates size bytes (in pieces zlib can count) with flush on the last.
    bool run(const uint8_t *data, size_t size, int flush, std::string *error)
    {
        do {
            const size_t piece = std::min(size, kZlibPiece);
            zs_.next_in = const_cast<uint8_t *>(data);
            zs_.avail_in = unsigned(piece);
            const int pieceFlush = piece == size ? flush : Z_NO_FLUSH;
            int r;
            do {
                zs_.next_out = out_.get();
                zs_.avail_out = unsigned(kBufferSize);
                r = deflate(&zs_, pieceFlush);
                if (r == Z_STREAM_ERROR) {
                    *error = "deflate failed";
                    return false;
                }
                if (!put(out_.get(), kBufferSize - zs_.avail_out, error))
                    return false;
            } while (zs_.avail_out == 0 || (pieceFlush == Z_FINISH && r != Z_STREAM_END));
            data += piece;
            size -= piece;
        } while (size > 0);
        return true;
    }

    FILE *file_ = nullptr;
    z_stream zs_{};
    bool deflating_ = false, pending_ = false, restart_ = false;
    std::unique_ptr<uint8_t[]> out_;
    uint32_t crc_ = 0;
    uint64_t raw_ = 0;
};

class DataSink : public SliceSink {
public:
    DataSink(uint64_t sliceBytes, uint64_t totalBytes, Encoding encoding, const std::string &plainHeader,
             const std::string &dataHeader)
        : sliceBytes_(sliceBytes), totalBytes_(totalBytes), encoding_(encoding), plainHeader_(plainHeader),
          dataHeader_(dataHeader)
    {
    }

    bool prepare(int level, std::string *error)
    {
        if (encoding_ == Encoding::Gzip) {
            gzip_.reset(new (std::nothrow) GzipWriter);
            if (!gzip_) {
                *error = "out of memory for the gzip writer";
                return false;
            }
            return gzip_->prepare(level, error);
        }
        return true;
    }

    bool start(FILE *file, std::string *error) override
    {
        if (file_ != nullptr) {
            *error = "the output was started already";
            return false;
        }
        file_ = file;
        if (!plainHeader_.empty() &&
            fwrite(plainHeader_.data(), 1, plainHeader_.size(), file_) != plainHeader_.size()) {
            *error = systemError("write error");
            return false;
        }
        if (gzip_ && !gzip_->start(file_, error))
            return false;
        const bool written = putData(dataHeader_.data(), dataHeader_.size(), error);
        std::string().swap(plainHeader_);
        std::string().swap(dataHeader_);
        return written;
    }

    bool write(const void *values, std::string *error) override
    {
        if (!started(error) || !room(sliceBytes_, error))
            return false;
        written_ += sliceBytes_;
        return putData(values, size_t(sliceBytes_), error);
    }

    bool writeDeflated(const uint8_t *data, size_t size, uint32_t crc, uint64_t rawBytes, std::string *error) override
    {
        if (!gzip_) {
            *error = "deflated slices need a gzip-encoded output";
            return false;
        }
        if (!started(error) || !room(rawBytes, error))
            return false;
        written_ += rawBytes;
        return gzip_->writeChunk(data, size, crc, rawBytes, error);
    }

    bool finish(std::string *error) override
    {
        if (!started(error))
            return false;
        // A short volume still gets a whole gzip member: what was written can be read.
        if (gzip_ && !gzip_->finish(error))
            return false;
        if (fflush(file_) != 0 || ferror(file_)) {
            *error = systemError("write error");
            return false;
        }
        if (written_ != totalBytes_) {
            *error = format("only %llu of the volume's %llu data bytes were written", (unsigned long long)written_,
                            (unsigned long long)totalBytes_);
            return false;
        }
        return true;
    }

private:
    bool started(std::string *error)
    {
        if (file_ == nullptr)
            *error = "the output was not started";
        return file_ != nullptr;
    }

    bool room(uint64_t bytes, std::string *error)
    {
        if (bytes > totalBytes_ - written_) {
            *error = "more data than the volume holds";
            return false;
        }
        return true;
    }

    bool putData(const void *data, size_t size, std::string *error)
    {
        if (gzip_)
            return gzip_->write(data, size, error);
        if (size > 0 && fwrite(data, 1, size, file_) != size) {
            *error = systemError("write error");
            return false;
        }
        return true;
    }

    FILE *file_ = nullptr;
    uint64_t sliceBytes_, totalBytes_, written_ = 0;
    Encoding encoding_;
    std::string plainHeader_, dataHeader_;
    std::unique_ptr<GzipWriter> gzip_;
};

} // namespace

std::unique_ptr<SliceSink> makeSink(FILE *file, const Volume &v, Encoding encoding, int level,
                                    const std::string &plainHeader, const std::string &dataHeader,
                                    std::string *error)
{
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(v, &slice, &total, error))
        return nullptr;
    if (encoding == Encoding::Gzip && (level < -1 || level > 9)) {
        *error = format("gzip level %d is not 0 to 9", level);
        return nullptr;
    }
    auto sink = std::make_unique<DataSink>(slice, total, encoding, plainHeader, dataHeader);
    if (!sink->prepare(level, error) || (file != nullptr && !sink->start(file, error)))
        return nullptr;
    return sink;
}

// ---- parallel deflate ----

SliceDeflater::SliceDeflater() = default;

SliceDeflater::~SliceDeflater()
{
    if (ready_)
        deflateEnd(stream_.get());
}

bool SliceDeflater::init(int level)
{
    if (ready_ || level < -1 || level > 9)
        return false;
    stream_.reset(new (std::nothrow) z_stream{});
    if (!stream_ || deflateInit2(stream_.get(), level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    ready_ = true;
    return true;
}

size_t SliceDeflater::bound(size_t rawBytes) const
{
    // deflateBound assumes one Z_FINISH; a sync flush adds an empty stored
    // block (5 bytes), and each 1 GiB piece may end a block of its own.
    const uLong pieces = uLong(rawBytes / kZlibPiece + 1);
    return size_t(deflateBound(stream_.get(), uLong(rawBytes))) + 16 * pieces;
}

bool SliceDeflater::deflate(const void *raw, size_t size, uint8_t *out, size_t capacity, size_t *outSize,
                            uint32_t *crc)
{
    if (!ready_)
        return false;
    z_stream *zs = stream_.get();
    deflateReset(zs);
    const auto *in = static_cast<const uint8_t *>(raw);
    size_t left = size, made = 0;
    do {
        const size_t piece = std::min(left, kZlibPiece);
        zs->next_in = const_cast<uint8_t *>(in);
        zs->avail_in = unsigned(piece);
        const int flush = piece == left ? Z_SYNC_FLUSH : Z_NO_FLUSH;
        do {
            const size_t room = std::min(capacity - made, kZlibPiece);
            if (room == 0)
                return false;
            zs->next_out = out + made;
            zs->avail_out = unsigned(room);
            if (::deflate(zs, flush) == Z_STREAM_ERROR)
                return false;
            made += room - zs->avail_out;
        } while (zs->avail_in > 0 || zs->avail_out == 0);
        in += piece;
        left -= piece;
    } while (left > 0);
    *outSize = made;
    *crc = uint32_t(crc32_z(0, static_cast<const Bytef *>(raw), size));
    return true;
}

double shortestOfFloat(float f)
{
    if (!std::isfinite(f))
        return f;
    char text[64];
    for (int digits = 1; digits <= 9; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, double(f));
        if (strtof(text, nullptr) == f)
            return strtod(text, nullptr);
    }
    return f;
}

} // namespace vrdconvert
