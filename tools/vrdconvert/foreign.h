// Streaming readers and writers for the foreign formats vrdconvert moves
// volumes to and from: NIfTI-1 single files (.nii, .nii.gz), NRRD (.nrrd,
// .nhdr with a detached data file) and headerless raw data.
//
// Readers deliver one slice (nx*ny values) per call and writers take one
// slice per call, through fixed-size buffers: memory never grows with nz.
// Values pass through unchanged, only put into this machine's byte order.
// Every failure comes back as false (or a null pointer) and a one-line
// reason without the file name; nothing here throws, prints or exits.
#ifndef VRDCONVERT_FOREIGN_H
#define VRDCONVERT_FOREIGN_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct z_stream_s;

namespace vrdconvert {

enum class Scalar { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64 };
int scalarBytes(Scalar);
const char *scalarName(Scalar); // "int8", "uint8", ..., "float32", "float64"
bool scalarFromName(const std::string &, Scalar *);

enum class Units { Unknown, Micrometre, Millimetre, Metre };

struct Volume {
    int64_t nx = 0, ny = 0, nz = 0; // x fastest, then y; z = slice index
    Scalar type = Scalar::UInt8;
    bool bigEndian = false;            // byte order of the values in the file
    double spacing[3] = {1, 1, 1};     // as the file says (may be 0, negative, NaN: the caller decides)
    bool hasSpacing = false;           // false when the file gives none
    Units units = Units::Unknown;
    std::vector<std::string> comments; // NRRD comment lines / NIfTI descrip (empty when blank)
    std::vector<std::string> notes;    // things the reader dropped that a user should hear of
    std::string dataFile;              // a detached header's data file, as opened (empty: the file itself)
};

// Bytes of one slice and of the whole volume; false with a reason when a
// dimension is not positive or a product does not fit 64 bits and size_t.
// Every reader and writer has checked this before it returns; callers can
// use it to size their slice buffer.
bool volumeBytes(const Volume &, uint64_t *sliceBytes, uint64_t *totalBytes, std::string *error);

class SliceSource {
public:
    virtual ~SliceSource();
    // Next slice's nx*ny values into buffer (nx*ny*scalarBytes bytes), in this
    // machine's byte order. The call for the last slice also reads a gzip
    // stream to its end, so a bad check value fails that call.
    virtual bool read(void *buffer, std::string *error) = 0;
    // After the last slice: true when the data hold more bytes than the volume.
    virtual bool trailingData() = 0;
    // Data that are not a regular file (a pipe) have no size to check a
    // header against: this reads their first slice before anything is sized
    // from the header, so that memory follows the bytes that came. false
    // with a reason when the data end or fail first. Regular files: true.
    virtual bool proveFirstSlice(std::string *error);
};

// .nii and .nii.gz (gzip detected by its magic bytes, not the name).
std::unique_ptr<SliceSource> openNifti(const std::string &path, Volume *v, std::string *error);
// .nrrd and .nhdr; raw, gzip and ascii encodings. A detached data file must
// be a regular file in the header's folder or below it (symlinks resolved),
// unless dataAnywhere, which allows any path, FIFOs and standard input ("-");
// devices are refused either way.
std::unique_ptr<SliceSource> openNrrd(const std::string &path, Volume *v, std::string *error,
                                      bool dataAnywhere = false);
// Size, type and byte order given by the user; a regular file must hold exactly the volume.
std::unique_ptr<SliceSource> openRaw(const std::string &path, const Volume &given, std::string *error);

enum class Encoding { Raw, Gzip };

// A writer on a FILE* the caller opened and closes itself (after finish()).
// Made with a null FILE*, a sink has all its memory and writes nothing
// until start() gives it the file: a program can have everything before it
// creates its output.
class SliceSink {
public:
    virtual ~SliceSink();
    // The header bytes onto file, for a sink made without one.
    virtual bool start(FILE *file, std::string *error) = 0;
    // One slice of nx*ny values in this machine's order.
    virtual bool write(const void *values, std::string *error) = 0;
    // Gzip sinks only: one or more consecutive slices (rawBytes of them in
    // all) already deflated by a SliceDeflater; the file holds the same
    // values as if write() had been given them.
    virtual bool writeDeflated(const uint8_t *data, size_t size, uint32_t crc, uint64_t rawBytes, std::string *error) = 0;
    // Ends the data (gzip trailer), flushes the FILE* and reports any write
    // error; false too when fewer slices came than the volume has (the data
    // written are then ended all the same).
    virtual bool finish(std::string *error) = 0;
};

constexpr int kDefaultGzipLevel = 6;

// descriptionCut, when given, is set when the comments joined did not fit
// the 79 bytes of the NIfTI description.
std::unique_ptr<SliceSink> createNifti(FILE *file, const Volume &v, Encoding, std::string *error,
                                       bool *descriptionCut = nullptr, int gzipLevel = kDefaultGzipLevel);
std::unique_ptr<SliceSink> createNrrd(FILE *file, const Volume &v, Encoding, std::string *error,
                                      int gzipLevel = kDefaultGzipLevel);
std::unique_ptr<SliceSink> createRaw(FILE *file, const Volume &v, std::string *error);

// One per worker thread; allocates everything in init() and nothing per slice.
class SliceDeflater {
public:
    SliceDeflater();
    ~SliceDeflater();
    SliceDeflater(const SliceDeflater &) = delete;
    SliceDeflater &operator=(const SliceDeflater &) = delete;
    bool init(int level);                // zlib level 0..9, or -1 for zlib's default
    size_t bound(size_t rawBytes) const; // capacity the output needs
    // Raw deflate of one slice (or several consecutive ones) ending with a
    // sync flush, so that chunks of consecutive slices concatenate into one
    // deflate stream; crc is the CRC-32 of the raw bytes.
    bool deflate(const void *raw, size_t size, uint8_t *out, size_t capacity, size_t *outSize, uint32_t *crc);

private:
    std::unique_ptr<z_stream_s> stream_;
    bool ready_ = false;
};

} // namespace vrdconvert

#endif
