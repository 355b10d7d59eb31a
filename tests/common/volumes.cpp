#include "volumes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

namespace testkit {

Bytes block(const Bytes &payload, uint32_t length)
{
    const char be[4] = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    return Bytes(be, 4) + payload;
}

Bytes deflated(const Bytes &data)
{
    uLongf n = compressBound(uLong(data.size()));
    Bytes out(n, '\0');
    EXPECT_EQ(Z_OK, compress(reinterpret_cast<Bytef *>(&out[0]), &n, reinterpret_cast<const Bytef *>(data.data()), uLong(data.size())));
    return out.substr(0, n);
}

Bytes inflated(const Bytes &payload, size_t length)
{
    uLongf n = length;
    Bytes out(n, '\0');
    uncompress(reinterpret_cast<Bytef *>(&out[0]), &n, reinterpret_cast<const Bytef *>(payload.data()), uLong(payload.size()));
    return out.substr(0, n);
}

FILE *streamOf(const Bytes &bytes)
{
    FILE *file = tmpfile();
    EXPECT_TRUE(file != nullptr && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    rewind(file);
    return file;
}

Bytes restOf(FILE *file)
{
    Bytes bytes;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, got);
    return bytes;
}

VrdHeader header(int32_t nx, int32_t ny, int32_t nz, int32_t dtype, int32_t compression, int32_t endian)
{
    VrdHeader h{};
    h.compression = compression, h.endian = endian, h.nx = nx, h.ny = ny, h.nz = nz, h.vtype = vrdCubic;
    h.px = 1, h.units = vrdUmm, h.nbands = 1, h.dtype = dtype;
    return h;
}

Bytes volume(const VrdHeader &h, const std::vector<Bytes> &slices)
{
    const std::vector<unsigned char> icon(size_t(h.nx) * h.ny * 3, 0);
    const int32_t size = vrdHeaderVoxelSize(&h);
    return writtenBy([&](FILE *f) {
        writeVrdHeader(f, &h, icon.data(), h.nx, h.ny);
        for (Bytes slice : slices) {
            if (h.endian != vrdLittleEndian)
                vrdSwapItems(slice.data(), size, int32_t(slice.size() / size));
            EXPECT_EQ(1, WriteSliceDataN(f, slice.data(), size, int32_t(slice.size() / size), h.compression));
        }
    });
}

Bytes previewOf(const float *values, size_t count)
{
    double lo = INFINITY, hi = -INFINITY;
    for (size_t i = 0; i < count; ++i)
        if (std::isfinite(values[i]))
            lo = std::min<double>(lo, values[i]), hi = std::max<double>(hi, values[i]);
    Bytes icon(count, '\0');
    for (size_t i = 0; i < count && hi > lo; ++i) {
        const double v = values[i];
        icon[i] = char(v >= hi ? 255 : v > lo ? int(std::floor((v - lo) / (hi - lo) * 255.0 + 0.5)) : 0);
    }
    return icon;
}

Bytes withIcon(const Bytes &file, const VrdHeader &h, const Bytes &icon)
{
    const size_t iconEnd = volume(h, {}).size();
    Bytes out = file;
    out.replace(iconEnd - icon.size(), icon.size(), icon);
    return out;
}

Bytes previewed(const VrdHeader &h, const std::vector<Bytes> &slices)
{
    const Bytes &middle = slices.at(size_t(h.nz / 2));
    std::vector<float> values(middle.size() / 4);
    memcpy(values.data(), middle.data(), values.size() * 4);
    return withIcon(volume(h, slices), h, previewOf(values.data(), values.size()));
}

std::vector<Bytes> blocksAfter(const Bytes &file, size_t offset)
{
    std::vector<Bytes> blocks;
    while (offset + 4 <= file.size()) {
        const auto *p = reinterpret_cast<const unsigned char *>(file.data() + offset);
        const size_t length = size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3];
        blocks.push_back(file.substr(offset + 4, length));
        offset += 4 + length;
    }
    EXPECT_EQ(offset, file.size()) << "the file ends inside a block";
    return blocks;
}

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const Bytes &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

::testing::AssertionResult sameBytes(const Bytes &expected, const Bytes &actual)
{
    const auto diff = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first;
    return expected == actual ? ::testing::AssertionSuccess() : ::testing::AssertionFailure()
           << expected.size() << " and " << actual.size() << " bytes differ from " << (diff - expected.begin());
}

Result run(const std::string &dir, const std::vector<std::string> &args, const char *file, const char *threads,
           uint64_t addressSpace, uint64_t fileSize)
{
    const std::string errPath = dir + "/.stderr", outPath = dir + "/.stdout";
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || out < 0 || dup2(err, 2) < 0 || dup2(out, 1) < 0 || chdir(dir.c_str()) != 0 ||
            (threads != nullptr && setenv("VRD_THREADS", threads, 1) != 0))
            _exit(120);
        const rlimit limit{addressSpace, addressSpace};
        if (addressSpace != 0 && setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(122);
        const rlimit sizeLimit{fileSize, fileSize};
        if (fileSize != 0 && setrlimit(RLIMIT_FSIZE, &sizeLimit) != 0)
            _exit(123);
        execv(file != nullptr ? file : argv[0], argv.data());
        _exit(121);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status), readFile(errPath), readFile(outPath)};
    std::filesystem::remove(errPath), std::filesystem::remove(outPath);
    return r;
}

void TempDirTest::SetUp()
{
    dir = (std::filesystem::temp_directory_path() / "vrdtest.XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(&dir[0]));
}

Vrd readVrd(const std::string &path)
{
    Vrd v;
    FILE *f = vrdOpenRead(path.c_str(), &v.h);
    if (f == nullptr)
        return v;
    const int32_t size = vrdHeaderVoxelSize(&v.h), count = v.h.nx * v.h.ny;
    Bytes slice(size_t(size) * count, '\0');
    v.read = true;
    for (int32_t z = 0; z < v.h.nz; ++z) {
        v.read = v.read && ReadSliceDataN(f, &slice[0], v.h.endian, size, count, v.h.compression) == 1;
        v.data += slice;
    }
    fclose(f);
    return v;
}

std::string sh(const std::string &command)
{
    std::string out;
    FILE *p = popen((command + " 2>/dev/null").c_str(), "r");
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;)
        out.append(chunk, n);
    pclose(p);
    return out;
}

} // namespace testkit
