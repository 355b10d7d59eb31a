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

// The values as they lie in memory.
template <class T>
Bytes values(std::initializer_list<T> v)
{
    return Bytes(reinterpret_cast<const char *>(std::data(v)), v.size() * sizeof(T));
}

// One block: big-endian length, then the payload.
Bytes block(const Bytes &payload, uint32_t length);
inline Bytes block(const Bytes &payload) { return block(payload, uint32_t(payload.size())); }
Bytes deflated(const Bytes &data);
Bytes inflated(const Bytes &payload, size_t length); // at most length bytes

// A temporary stream holding bytes, at its start; what a stream holds from
// its position on; what fn writes to a fresh temporary stream.
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

// A single-band cubic header of the given size and kind.
VrdHeader header(int32_t nx, int32_t ny, int32_t nz, int32_t dtype = vrdFloat, int32_t compression = vrdCompZlib,
                 int32_t endian = vrdLittleEndian);

// A volume file as writeVrdHeader and WriteSliceDataN write it, with a zero
// icon; each slice holds little-endian values and is stored in the header's
// byte order. No slices gives the part before the first block.
Bytes volume(const VrdHeader &h, const std::vector<Bytes> &slices);

// The payloads of the blocks that follow the first `offset` bytes.
std::vector<Bytes> blocksAfter(const Bytes &file, size_t offset);

Bytes readFile(const std::string &path);
void writeFile(const std::string &path, const Bytes &bytes);
bool exists(const std::string &path);
::testing::AssertionResult sameBytes(const Bytes &expected, const Bytes &actual);

struct Result {
    int status; // exit status, or 1000 + signal
    std::string err, out;
};

// Runs file (by default args[0]) with the argument vector args in directory
// dir, with VRD_THREADS set to threads when it is given.
Result run(const std::string &dir, const std::vector<std::string> &args, const char *file = nullptr,
           const char *threads = nullptr);

// A fresh directory for each test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

} // namespace testkit

#endif
