// Helpers shared by the test programs: byte strings and streams, volume files
// made through the library, and runs of the built programs.
#ifndef VRD_TESTS_COMMON_VOLUMES_H
#define VRD_TESTS_COMMON_VOLUMES_H

#include <vrd/vrd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testkit {

using Bytes = std::string;

template <class T> // the values as they lie in memory
Bytes values(std::initializer_list<T> v) { return Bytes(reinterpret_cast<const char *>(std::data(v)), v.size() * sizeof(T)); }

// One block: big-endian length, then the payload.
Bytes block(const Bytes &payload, uint32_t length);
inline Bytes block(const Bytes &payload) { return block(payload, uint32_t(payload.size())); }
Bytes deflated(const Bytes &data);
Bytes inflated(const Bytes &payload, size_t length); // at most length bytes

// A temporary stream holding bytes; what a stream holds from its position
// on; what fn writes to a fresh temporary stream.
FILE *streamOf(const Bytes &bytes);
Bytes restOf(FILE *file);
template <typename Fn>
Bytes writtenBy(Fn fn)
{
    FILE *file = tmpfile();
    fn(file);
    rewind(file);
    Bytes bytes = restOf(file);
    fclose(file);
    return bytes;
}

// A single-band cubic header; a volume as writeVrdHeader and WriteSliceDataN
// write it, zero icon, from slices of little-endian values (no slices: the
// part before the blocks); the payloads of the blocks after the first `offset` bytes.
VrdHeader header(int32_t nx, int32_t ny, int32_t nz, int32_t dtype = vrdFloat, int32_t compression = vrdCompZlib,
                 int32_t endian = vrdLittleEndian);
Bytes volume(const VrdHeader &h, const std::vector<Bytes> &slices);
std::vector<Bytes> blocksAfter(const Bytes &file, size_t offset);

// The preview icon of a float32 slice, worked out here independently of the
// library: finite min..max onto 0..255 rounded to nearest, NaN and values at
// or below min 0, at or above max 255, all 0 without two different values;
// and the file with it in place of its (grey) icon.
Bytes previewOf(const float *values, size_t count);
Bytes withIcon(const Bytes &file, const VrdHeader &h, const Bytes &icon);
// volume() of float32 slices with the preview of slice nz / 2 as its icon,
// as the programs write a whole run into a regular file.
Bytes previewed(const VrdHeader &h, const std::vector<Bytes> &slices);

Bytes readFile(const std::string &path);
void writeFile(const std::string &path, const Bytes &bytes);
::testing::AssertionResult sameBytes(const Bytes &expected, const Bytes &actual);

struct Result {
    int status; // exit status, or 1000 + signal
    std::string err, out;
};
// An address-space limit of so many bytes for run(), or none (0) under
// AddressSanitizer, whose shadow memory alone is larger than such limits.
constexpr uint64_t addressLimit(uint64_t bytes)
{
#ifdef __SANITIZE_ADDRESS__
    return bytes * 0;
#else
    return bytes;
#endif
}

// Runs file (by default args[0]) with argv args in dir, VRD_THREADS=threads if given,
// under an address-space limit and a file-size limit of so many bytes if given.
Result run(const std::string &dir, const std::vector<std::string> &args, const char *file = nullptr,
           const char *threads = nullptr, uint64_t addressSpace = 0, uint64_t fileSize = 0);

// A fresh directory for each test, removed afterwards.
struct TempDirTest : ::testing::Test {
    void SetUp() override;
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

// What a shell command writes on standard output (its stderr dropped).
std::string sh(const std::string &command);

// A volume file read whole with the classic calls: its header and every
// slice in this machine's byte order; read is false when any slice failed.
struct Vrd {
    VrdHeader h{};
    Bytes data;
    bool read = false;
};
Vrd readVrd(const std::string &path);

} // namespace testkit

#endif
