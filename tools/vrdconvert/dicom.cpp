#include "dicom.h"

#include "gdcm_calls.h"
#include "stream.h"

#include <vrd/vrd.h>

#include <dirent.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <type_traits>

namespace vrdconvert {

namespace {

// ---- the length check: element headers only, every defined length against the bytes that follow

constexpr uint64_t kUndefined = 0xFFFFFFFFu;
constexpr int kMostNesting = 16;

struct Walk {
    bool opened = false, magic = false; // the file could be read; it starts with the DICOM preamble
    std::string transferSyntax;
    bool pixelData = false, encapsulated = false, bigEndian = false;
    uint64_t pixelBytes = 0;  // stored bytes, or the sum of the fragments
    uint64_t pixelOffset = 0; // file offset of stored pixel data
};

class ElementWalker {
public:
    ElementWalker(FILE *file, uint64_t size, Walk *walk) : file_(file), size_(size), walk_(walk) {}

    bool run(std::string *error)
    {
        error_ = error;
        uint8_t magic[4] = {};
        bool explicitVR = true, big = false;
        if (size_ >= 132 && seek(128) && bytes(magic, 4) && memcmp(magic, "DICM", 4) == 0) {
            walk_->magic = true;
            if (!meta())
                return false;
        } else {
            // No preamble: a bare data set, its encoding guessed from its first element.
            if (!seek(0))
                return false;
            uint8_t head[6] = {};
            if (size_ < 8 || !bytes(head, 6))
                return fail("too short for a DICOM file");
            if (!seek(0))
                return false;
            if (head[0] == 2 && head[1] == 0) {
                if (!meta())
                    return false;
            } else {
                explicitVR = isVR(head + 4);
                walk_->transferSyntax = explicitVR ? "1.2.840.10008.1.2.1" : "1.2.840.10008.1.2";
            }
        }
        const std::string &ts = walk_->transferSyntax;
        if (ts == "1.2.840.10008.1.2")
            explicitVR = false;
        else if (ts == "1.2.840.10008.1.2.2")
            big = walk_->bigEndian = true;
        else if (ts == "1.2.840.10008.1.2.1.99")
            return fail("deflated data sets (transfer syntax 1.2.840.10008.1.2.1.99) are not read");
        return dataSet(explicitVR, big, size_, false, 0);
    }

private:
    bool fail(const std::string &why)
    {
        if (error_->empty())
            *error_ = why;
        return false;
    }
    bool seek(uint64_t to)
    {
        if (to > size_ || fseeko(file_, off_t(to), SEEK_SET) != 0)
            return fail("cannot seek");
        pos_ = to;
        return true;
    }
    bool bytes(void *dst, size_t n)
    {
        if (n > size_ - pos_)
            return fail(format("ends inside an element header at byte %llu", (unsigned long long)pos_));
        if (fread(dst, 1, n, file_) != n)
            return fail("read error");
        pos_ += n;
        return true;
    }
    static uint32_t u16(const uint8_t *p, bool big) { return big ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8); }
    static uint32_t u32(const uint8_t *p, bool big)
    {
        return big ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                   : p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    // The standard's value representations: GDCM reads an element with any
    // other as if the file were implicit, and stops on an assertion in places.
    static bool isVR(const uint8_t *p)
    {
        static const char kAll[] = "AEASATCSDADSDTFLFDISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV";
        for (size_t i = 0; i + 1 < sizeof kAll; i += 2)
            if (p[0] == kAll[i] && p[1] == kAll[i + 1])
                return true;
        return false;
    }
    static bool longVR(const uint8_t *p)
    {
        static const char *const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UN", "UR", "UT", "SV", "UV"};
        for (const char *v : kLong)
            if (p[0] == v[0] && p[1] == v[1])
                return true;
        return false;
    }
    bool fits(uint64_t length, uint64_t end, uint32_t group, uint32_t element)
    {
        if (length <= end - pos_)
            return true;
        return fail(format("element (%04X,%04X) at byte %llu announces %llu bytes, but only %llu follow", group,
                           element, (unsigned long long)pos_, (unsigned long long)length,
                           (unsigned long long)(end - pos_)));
    }

    // The file meta information: explicit little-endian group 2 elements.
    bool meta()
    {
        for (;;) {
            uint8_t head[8];
            if (size_ - pos_ < 8)
                return fail("ends inside the file meta information");
            if (!bytes(head, 2))
                return false;
            if (u16(head, false) != 2) {
                return seek(pos_ - 2);
            }
            if (!bytes(head + 2, 6))
                return false;
            const uint32_t element = u16(head + 2, false);
            if (!isVR(head + 4))
                return fail(format("file meta element (0002,%04X) at byte %llu has no value representation", element,
                                   (unsigned long long)(pos_ - 8)));
            uint64_t length = u16(head + 6, false);
            if (longVR(head + 4)) {
                if (!bytes(head, 4))
                    return false;
                length = u32(head, false);
            }
            if (!fits(length, size_, 2, element))
                return false;
            if (element == 0x0010 && length <= 64) {
                char uid[65] = {};
                if (!bytes(uid, size_t(length)))
                    return false;
                walk_->transferSyntax = trim(std::string(uid, strnlen(uid, sizeof uid)));
                while (!walk_->transferSyntax.empty() && walk_->transferSyntax.back() == '\0')
                    walk_->transferSyntax.pop_back();
            } else if (!seek(pos_ + length)) {
                return false;
            }
        }
    }

    // Elements up to end, or with undefined length up to the item delimiter.
    bool dataSet(bool explicitVR, bool big, uint64_t end, bool undefined, int depth)
    {
        if (depth > kMostNesting)
            return fail("sequences nested too deeply");
        while (undefined || pos_ < end) {
            uint8_t head[8];
            if (!bytes(head, 4))
                return false;
            const uint32_t group = u16(head, big), element = u16(head + 2, big);
            uint64_t length;
            uint8_t vr[2] = {0, 0};
            if (group == 0xFFFE) {
                if (!bytes(head + 4, 4))
                    return false;
                length = u32(head + 4, big);
                if (element == 0xE00D && undefined)
                    return true;
                return fail(format("misplaced item tag (FFFE,%04X) at byte %llu", element,
                                   (unsigned long long)(pos_ - 8)));
            }
            if (explicitVR) {
                if (!bytes(vr, 2) || !bytes(head + 4, 2))
                    return false;
                if (!isVR(vr))
                    return fail(format("element (%04X,%04X) at byte %llu has no value representation", group,
                                       element, (unsigned long long)(pos_ - 6)));
                length = u16(head + 4, big);
                if (longVR(vr)) {
                    if (!bytes(head + 4, 4))
                        return false;
                    length = u32(head + 4, big);
                }
            } else {
                if (!bytes(head + 4, 4))
                    return false;
                length = u32(head + 4, big);
            }
            const bool pixels = group == 0x7FE0 && element == 0x0010 && depth == 0;
            if (length == kUndefined) {
                if (pixels) {
                    walk_->pixelData = walk_->encapsulated = true;
                    if (!fragments(big))
                        return false;
                } else {
                    // A sequence; undefined-length UN holds implicit little-endian items.
                    const bool un = explicitVR && vr[0] == 'U' && vr[1] == 'N';
                    if (!sequence(un ? false : explicitVR, un ? false : big, 0, true, depth + 1))
                        return false;
                }
                continue;
            }
            if (!fits(length, undefined ? size_ : end, group, element))
                return false;
            if (pixels) {
                walk_->pixelData = true;
                walk_->pixelBytes = length;
                walk_->pixelOffset = pos_;
            }
            // Nested items are checked too: GDCM reads their lengths as well.
            bool items = explicitVR && vr[0] == 'S' && vr[1] == 'Q';
            if (!items && length >= 8 && !pixels && (!explicitVR || (vr[0] == 'U' && vr[1] == 'N'))) {
                uint8_t peek[4];
                if (!bytes(peek, 4) || !seek(pos_ - 4))
                    return false;
                items = u16(peek, big) == 0xFFFE && u16(peek + 2, big) == 0xE000;
            }
            if (items) {
                const bool un = explicitVR && vr[0] == 'U';
                if (!sequence(un ? false : explicitVR, un ? false : big, pos_ + length, false, depth + 1))
                    return false;
            } else if (!seek(pos_ + length)) {
                return false;
            }
        }
        return pos_ == end || fail("an element runs past the end of its item");
    }

    bool sequence(bool explicitVR, bool big, uint64_t end, bool undefined, int depth)
    {
        if (depth > kMostNesting)
            return fail("sequences nested too deeply");
        while (undefined || pos_ < end) {
            uint8_t head[8];
            if (!bytes(head, 8))
                return false;
            const uint32_t group = u16(head, big), element = u16(head + 2, big);
            const uint64_t length = u32(head + 4, big);
            if (group == 0xFFFE && element == 0xE0DD && undefined)
                return true;
            if (group != 0xFFFE || element != 0xE000)
                return fail(format("(%04X,%04X) at byte %llu where a sequence item belongs", group, element,
                                   (unsigned long long)(pos_ - 8)));
            if (length == kUndefined) {
                if (!dataSet(explicitVR, big, 0, true, depth))
                    return false;
            } else {
                if (!fits(length, undefined ? size_ : end, group, element) ||
                    !dataSet(explicitVR, big, pos_ + length, false, depth))
                    return false;
            }
        }
        return pos_ == end || fail("an item runs past the end of its sequence");
    }

    bool fragments(bool big)
    {
        for (;;) {
            uint8_t head[8];
            if (!bytes(head, 8))
                return false;
            const uint32_t group = u16(head, big), element = u16(head + 2, big);
            const uint64_t length = u32(head + 4, big);
            if (group == 0xFFFE && element == 0xE0DD)
                return true;
            if (group != 0xFFFE || element != 0xE000)
                return fail(format("(%04X,%04X) at byte %llu where a pixel data fragment belongs", group, element,
                                   (unsigned long long)(pos_ - 8)));
            if (!fits(length, size_, group, element) || !seek(pos_ + length))
                return false;
            walk_->pixelBytes += length;
        }
    }

    FILE *file_;
    uint64_t size_, pos_ = 0;
    Walk *walk_;
    std::string *error_ = nullptr;
};

// With pixels, also reads pixelBytes bytes of stored (not encapsulated) pixel data into it.
bool walkFile(const std::string &path, Walk *walk, std::string *error, void *pixels = nullptr,
              uint64_t pixelBytes = 0)
{
    *walk = Walk{};
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = format("cannot open: %s", strerror(errno));
        return false;
    }
    walk->opened = true;
    struct stat st{};
    bool ok = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        *error = "not a regular file";
    else
        ok = ElementWalker(file, uint64_t(st.st_size), walk).run(error);
    if (ok && pixels != nullptr) {
        if (!walk->pixelData || walk->encapsulated || walk->pixelBytes < pixelBytes) {
            *error = "the pixel data changed since the tags were read";
            ok = false;
        } else if (fseeko(file, off_t(walk->pixelOffset), SEEK_SET) != 0 ||
                   fread(pixels, 1, size_t(pixelBytes), file) != pixelBytes) {
            *error = format("cannot read the pixel data: %s", ferror(file) ? strerror(errno) : "the file is shorter");
            ok = false;
        }
    }
    fclose(file);
    return ok;
}

// ---- GDCM in a child process

// GDCM stops on assertions and reads out of bounds on some damaged data
// (fuzzing found both), so it runs on file data only in a child process,
// one per pass, which serves the requests one at a time: a fault there ends
// the child, and the run refuses the file it was reading. Paths go to the
// child through a socket, results come back in memory shared with it.
class SharedBlock {
public:
    ~SharedBlock()
    {
        if (data_ != nullptr)
            munmap(data_, size_);
    }
    bool allocate(size_t size)
    {
        data_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (data_ == MAP_FAILED) {
            data_ = nullptr;
            return false;
        }
        size_ = size;
        return true;
    }
    uint8_t *data() const { return static_cast<uint8_t *>(data_); }
    size_t size() const { return size_; }

private:
    void *data_ = nullptr;
    size_t size_ = 0;
};

class GdcmWorker {
public:
    ~GdcmWorker() { stop(); }

    // Forks the child, which calls job(path) for every request; memory
    // shared with it must be mapped before.
    bool start(const std::function<void(const std::string &)> &job, std::string *error)
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            *error = format("cannot start GDCM's process: %s", strerror(errno));
            return false;
        }
        fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0) {
            *error = format("cannot start GDCM's process: %s", strerror(errno));
            close(pair[0]), close(pair[1]);
            return false;
        }
        if (pid_ == 0) {
            close(pair[0]);
            // A fault ends the child by its signal, whatever handlers the
            // program (or a sanitizer, or a fuzzer) set for itself.
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
                signal(sig, SIG_DFL);
            serve(pair[1], job);
        }
        close(pair[1]);
        fd_ = pair[0];
        return true;
    }

    // Has the child run its job on path; false with why when the child has ended.
    bool run(const std::string &path, std::string *why)
    {
        if (fd_ < 0) {
            *why = ended_.empty() ? "GDCM's process is not running" : ended_;
            return false;
        }
        const uint32_t n = uint32_t(path.size());
        char done = 0;
        ssize_t got = -1;
        if (sendAll(&n, sizeof n) && sendAll(path.data(), n)) {
            while ((got = recv(fd_, &done, 1, 0)) < 0 && errno == EINTR) {
            }
        }
        if (got == 1)
            return true;
        stop();
        *why = ended_;
        return false;
    }

    // Ends the child (or notes how it ended).
    void stop()
    {
        if (fd_ >= 0)
            close(fd_); // the child reads the end of its requests and exits
        fd_ = -1;
        if (pid_ <= 0)
            return;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (WIFSIGNALED(status))
            ended_ = format("GDCM stopped on signal %d (%s)", WTERMSIG(status), strsignal(WTERMSIG(status)));
        else
            ended_ = "GDCM's process ended";
    }

private:
    [[noreturn]] static void serve(int fd, const std::function<void(const std::string &)> &job)
    {
        for (;;) {
            uint32_t n = 0;
            if (!receiveAll(fd, &n, sizeof n) || n > 65536)
                _exit(0);
            std::string path(n, '\0');
            if (!receiveAll(fd, &path[0], n))
                _exit(0);
            try {
                job(path);
            } catch (...) {
            }
            const char done = 1;
            if (send(fd, &done, 1, MSG_NOSIGNAL) != 1)
                _exit(0);
        }
    }
    static bool receiveAll(int fd, void *to, size_t n)
    {
        auto *p = static_cast<char *>(to);
        while (n > 0) {
            const ssize_t got = recv(fd, p, n, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            p += got, n -= size_t(got);
        }
        return true;
    }
    bool sendAll(const void *from, size_t n)
    {
        const auto *p = static_cast<const char *>(from);
        while (n > 0) {
            const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            p += sent, n -= size_t(sent);
        }
        return true;
    }
    int fd_ = -1;
    pid_t pid_ = -1;
    std::string ended_;
};

// ---- what the tags of one file say

// The tags read from every file (group, element), in the order of the Tag enumeration.
enum Tag {
    kRows, kColumns, kSeriesUid, kSeriesNumber, kSeriesDescription, kModality, kPhotometric, kSamples,
    kBitsAllocated, kBitsStored, kHighBit, kPixelRepresentation, kFrames, kPosition, kOrientation, kPixelSpacing,
    kSlope, kIntercept, kTilt, kThickness, kStudyDate, kModel, kKvp, kKernel, kTagCount
};
constexpr uint16_t kTags[kTagCount][2] = {
    {0x0028, 0x0010}, {0x0028, 0x0011}, {0x0020, 0x000E}, {0x0020, 0x0011}, {0x0008, 0x103E}, {0x0008, 0x0060},
    {0x0028, 0x0004}, {0x0028, 0x0002}, {0x0028, 0x0100}, {0x0028, 0x0101}, {0x0028, 0x0102}, {0x0028, 0x0103},
    {0x0028, 0x0008}, {0x0020, 0x0032}, {0x0020, 0x0037}, {0x0028, 0x0030}, {0x0028, 0x1053}, {0x0028, 0x1052},
    {0x0018, 0x1120}, {0x0018, 0x0050}, {0x0008, 0x0020}, {0x0008, 0x1090}, {0x0018, 0x0060}, {0x0018, 0x1210}};
constexpr size_t kMostTagText = 1024; // longer values are cut: none of these needs more
constexpr size_t kTagBlockBytes = 1 + kTagCount * (2 + kMostTagText);

struct FileTags {
    std::string name; // within the folder
    std::string seriesUid, seriesNumber, seriesDescription, modality, photometric, transferSyntax;
    uint32_t rows = 0, columns = 0, samples = 1, bitsAllocated = 0, bitsStored = 0, highBit = 0, frames = 1;
    bool signedValues = false;
    bool hasPosition = false, hasOrientation = false, hasPixelSpacing = false;
    double position[3] = {}, orientation[6] = {}, pixelSpacing[2] = {1, 1};
    double slope = 1, intercept = 0, tilt = 0, thickness = 0;
    uint64_t pixelBytes = 0;
    bool encapsulated = false, transferSyntaxBigEndian = false;
    double along = 0; // position along the slice normal
    std::vector<std::string> kept;
};

// Control characters would break a header line or a message.
std::string printable(std::string s)
{
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return trim(s);
}

int numbers(const std::string &text, double *out, int most)
{
    int n = 0;
    size_t start = 0;
    while (n < most && start <= text.size()) {
        const size_t stop = std::min(text.find('\\', start), text.size());
        const std::string part = trim(text.substr(start, stop - start));
        char *end = nullptr;
        const double value = strtod(part.c_str(), &end);
        if (part.empty() || *end != '\0' || !std::isfinite(value))
            return n;
        out[n++] = value;
        start = stop + 1;
    }
    return n;
}

bool number(const std::string &text, double *out) { return numbers(text, out, 1) == 1; }

uint32_t unsignedTag(const std::string &text, uint32_t otherwise)
{
    double v = 0;
    return number(text, &v) && v >= 0 && v <= 4294967295.0 && v == std::floor(v) ? uint32_t(v) : otherwise;
}

// false: not a DICOM image (skipped); an error: a DICOM file that cannot be read.
bool readTags(const std::string &dir, const std::string &name, bool keepTags, GdcmWorker &worker,
              const uint8_t *tagBlock, FileTags *t, bool *image, std::string *error)
{
    *image = false;
    const std::string path = dir + "/" + name;
    Walk walk;
    std::string why;
    if (!walkFile(path, &walk, &why)) {
        // Without the DICOM preamble a file that does not parse is simply no DICOM file.
        if (!walk.opened || walk.magic) {
            *error = format("%s: %s", name.c_str(), why.c_str());
            return false;
        }
        return true;
    }
    if (!walk.pixelData)
        return true;
    const uint8_t *block = tagBlock;
    if (!worker.run(path, &why)) {
        *error = format("%s: %s reading its tags", name.c_str(), why.c_str());
        return false;
    }
    if (block[0] != 1) {
        if (!walk.magic)
            return true;
        *error = format("%s: GDCM cannot read its tags", name.c_str());
        return false;
    }
    std::string values[kTagCount];
    const uint8_t *at = block + 1;
    for (std::string &value : values) {
        const size_t length = std::min<size_t>(size_t(at[0]) << 8 | at[1], kMostTagText);
        value.assign(reinterpret_cast<const char *>(at + 2), length);
        at += 2 + length;
        while (!value.empty() && (value.back() == '\0' || value.back() == ' '))
            value.pop_back();
        value = trim(value);
    }
    auto get = [&](Tag tag) { return values[tag]; };
    t->name = name;
    t->rows = unsignedTag(get(kRows), 0);
    t->columns = unsignedTag(get(kColumns), 0);
    if (t->rows == 0 || t->columns == 0)
        return true; // pixel data without an image description: not an image of a series
    *image = true;
    t->seriesUid = printable(get(kSeriesUid));
    t->seriesNumber = printable(get(kSeriesNumber));
    t->seriesDescription = printable(get(kSeriesDescription));
    t->modality = get(kModality);
    t->photometric = printable(get(kPhotometric));
    t->transferSyntax = walk.transferSyntax;
    t->samples = unsignedTag(get(kSamples), 1);
    t->bitsAllocated = unsignedTag(get(kBitsAllocated), 0);
    t->bitsStored = unsignedTag(get(kBitsStored), t->bitsAllocated);
    t->highBit = unsignedTag(get(kHighBit), t->bitsStored - 1);
    t->signedValues = unsignedTag(get(kPixelRepresentation), 0) == 1;
    t->frames = unsignedTag(get(kFrames), 1);
    t->hasPosition = numbers(get(kPosition), t->position, 3) == 3;
    t->hasOrientation = numbers(get(kOrientation), t->orientation, 6) == 6;
    t->hasPixelSpacing = numbers(get(kPixelSpacing), t->pixelSpacing, 2) == 2;
    if (!number(get(kSlope), &t->slope))
        t->slope = 1;
    if (!number(get(kIntercept), &t->intercept))
        t->intercept = 0;
    number(get(kTilt), &t->tilt);
    number(get(kThickness), &t->thickness);
    t->pixelBytes = walk.pixelBytes;
    t->encapsulated = walk.encapsulated;
    t->transferSyntaxBigEndian = walk.bigEndian;
    if (keepTags) {
        struct Kept {
            Tag tag;
            const char *name;
        };
        static const Kept kKept[] = {{kModality, "Modality"},     {kSeriesDescription, "SeriesDescription"},
                                     {kStudyDate, "StudyDate"},   {kModel, "ManufacturerModelName"},
                                     {kKvp, "KVP"},               {kKernel, "ConvolutionKernel"}};
        for (const Kept &k : kKept) {
            const std::string value = printable(get(k.tag));
            if (!value.empty())
                t->kept.push_back(format("DICOM %s: %s", k.name, value.c_str()));
        }
    }
    return true;
}

// ---- the series

struct Series {
    std::string uid, number, description;
    std::vector<FileTags> files;
};

std::string seriesLabel(const Series &s)
{
    std::string label = s.number.empty() ? std::string("(no number)") : s.number;
    if (!s.description.empty())
        label += " \"" + s.description + "\"";
    return label;
}

bool choose(std::vector<Series> &all, const std::string &wanted, Series *chosen, std::string *error)
{
    if (all.size() == 1 && wanted.empty()) {
        *chosen = std::move(all[0]);
        return true;
    }
    std::vector<size_t> matches;
    for (size_t i = 0; i < all.size(); ++i)
        if (!wanted.empty() && (all[i].uid == wanted || all[i].number == wanted))
            matches.push_back(i);
    if (matches.size() == 1) {
        *chosen = std::move(all[matches[0]]);
        return true;
    }
    std::map<std::string, int> numberCount;
    for (const Series &s : all)
        ++numberCount[s.number];
    std::string list;
    for (const Series &s : all) {
        list += format("%s%s (%u x %u, %zu file%s%s%s)", list.empty() ? "" : "; ", seriesLabel(s).c_str(),
                       s.files[0].columns, s.files[0].rows, s.files.size(), s.files.size() == 1 ? "" : "s",
                       numberCount[s.number] > 1 ? ", UID " : "", numberCount[s.number] > 1 ? s.uid.c_str() : "");
    }
    if (wanted.empty())
        *error = format("holds %zu series; --series NUMBER or UID picks one: %s", all.size(), list.c_str());
    else if (matches.empty())
        *error = format("no series %s; the folder holds %s", wanted.c_str(), list.c_str());
    else
        *error = format("several series are numbered %s; --series UID picks one: %s", wanted.c_str(), list.c_str());
    return false;
}

bool decodable(const GdcmCalls &gdcm, const std::string &uid, std::string *why)
{
    if (gdcm.decodable(uid.c_str()) != 0)
        return true;
    const char *known = gdcm.uidName(uid.c_str());
    *why = format("transfer syntax %s%s%s%s cannot be decoded", uid.c_str(), known ? " (" : "", known ? known : "",
                  known ? ")" : "");
    return false;
}

bool sameOrientation(const double *a, const double *b)
{
    for (int i = 0; i < 6; ++i)
        if (std::fabs(a[i] - b[i]) > 1e-4)
            return false;
    return true;
}

// Where the voxels lie in the patient's space (DICOM's is LPS), for NIfTI
// and NRRD outputs: x along a row (the first ImageOrientationPatient
// vector), y down the columns, z along the slice normal by the spacing, from
// the first slice's ImagePositionPatient. Only a regular grid has one such
// place.
void placeSeries(const FileTags &first, const double normal[3], Volume *v)
{
    if (!first.hasOrientation || !first.hasPosition)
        return;
    Orientation &o = v->orientation;
    o.space = Orientation::Space::LPS;
    o.size[0] = v->nx, o.size[1] = v->ny, o.size[2] = v->nz;
    o.hasDirections = true;
    for (int r = 0; r < 3; ++r) {
        o.spacing[r] = v->spacing[r];
        o.directions[r][0] = first.orientation[r] * v->spacing[0] + 0.0; // + 0.0: no -0
        o.directions[r][1] = first.orientation[3 + r] * v->spacing[1] + 0.0;
        o.directions[r][2] = normal[r] * v->spacing[2] + 0.0;
        o.directions[r][3] = first.position[r];
    }
}

// The checks across the files of the series, the order along the normal and the spacing.
bool arrange(const GdcmCalls &gdcm, Series &s, Volume *v, DicomSeries *out, std::string *error)
{
    std::vector<FileTags> &f = s.files;
    const FileTags &first = f[0];
    for (const FileTags &t : f) {
        const char *n = t.name.c_str(), *n0 = first.name.c_str();
        if (t.frames != 1) {
            *error = format("%s holds %u frames; multi-frame files are not read", n, t.frames);
            return false;
        }
        if (t.samples != 1 || (t.photometric != "MONOCHROME1" && t.photometric != "MONOCHROME2")) {
            *error = format("%s: photometric interpretation %s with %u samples per pixel; only greyscale "
                            "(MONOCHROME1, MONOCHROME2) is read",
                            n, t.photometric.empty() ? "(none)" : t.photometric.c_str(), t.samples);
            return false;
        }
        if (t.bitsAllocated != 8 && t.bitsAllocated != 16 && t.bitsAllocated != 32) {
            *error = format("%s: %u bits allocated per value; 8, 16 and 32 are read", n, t.bitsAllocated);
            return false;
        }
        if (t.bitsStored < 1 || t.bitsStored > t.bitsAllocated || t.highBit + 1 != t.bitsStored) {
            *error = format("%s: %u bits stored with high bit %u in %u bits; stored bits from bit 0 are read", n,
                            t.bitsStored, t.highBit, t.bitsAllocated);
            return false;
        }
        if (t.rows != first.rows || t.columns != first.columns) {
            *error = format("%s is %u x %u, %s %u x %u: slices of other sizes", n, t.columns, t.rows, n0,
                            first.columns, first.rows);
            return false;
        }
        if (t.photometric != first.photometric) {
            *error = format("%s is %s, %s %s: photometric interpretations differ", n, t.photometric.c_str(), n0,
                            first.photometric.c_str());
            return false;
        }
        if (t.tilt != 0) {
            *error = format("%s: gantry tilt of %g degrees; tilted slices are not read", n, t.tilt);
            return false;
        }
        if (f.size() > 1 && (!t.hasPosition || !t.hasOrientation)) {
            *error = format("%s has no ImagePositionPatient or ImageOrientationPatient: the slice order is unknown", n);
            return false;
        }
        if (t.hasOrientation && first.hasOrientation && !sameOrientation(t.orientation, first.orientation)) {
            *error = format("%s and %s differ in orientation (ImageOrientationPatient)", n, n0);
            return false;
        }
        if (t.hasPixelSpacing != first.hasPixelSpacing ||
            std::fabs(t.pixelSpacing[0] - first.pixelSpacing[0]) > 1e-4 * std::fabs(first.pixelSpacing[0]) ||
            std::fabs(t.pixelSpacing[1] - first.pixelSpacing[1]) > 1e-4 * std::fabs(first.pixelSpacing[1])) {
            *error = format("%s and %s differ in PixelSpacing", n, n0);
            return false;
        }
        std::string why;
        if (!decodable(gdcm, t.transferSyntax, &why)) {
            *error = format("%s: %s", n, why.c_str());
            return false;
        }
        const uint64_t decoded = uint64_t(t.rows) * t.columns * (t.bitsAllocated / 8);
        // A native image must be all there; a compressed one cannot unfold beyond
        // what any of the decoders makes of its bytes (a floor for tiny slices).
        if (t.encapsulated ? decoded > std::max<uint64_t>(t.pixelBytes * 1024, uint64_t{1} << 24)
                           : decoded > t.pixelBytes) {
            *error = format("%s announces %u x %u values of %u bits, but its pixel data hold %llu bytes", n,
                            t.columns, t.rows, t.bitsAllocated, (unsigned long long)t.pixelBytes);
            return false;
        }
    }
    if (first.pixelSpacing[0] <= 0 || first.pixelSpacing[1] <= 0) {
        *error = format("%s: PixelSpacing %g\\%g is not positive", first.name.c_str(), first.pixelSpacing[0],
                        first.pixelSpacing[1]);
        return false;
    }

    v->nx = first.columns, v->ny = first.rows, v->nz = int64_t(f.size());
    v->spacing[0] = first.pixelSpacing[1]; // PixelSpacing is row spacing (y) then column spacing (x)
    v->spacing[1] = first.pixelSpacing[0];
    v->hasSpacing = true;
    v->units = Units::Millimetre;
    if (!first.hasPixelSpacing)
        v->notes.push_back("no PixelSpacing; x and y spacing written as 1 mm");

    const double *o = first.orientation;
    const double normal[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
    if (f.size() == 1) {
        v->spacing[2] = first.thickness > 0 ? first.thickness : 1;
        if (first.thickness <= 0)
            v->notes.push_back("one slice without SliceThickness; z spacing written as 1 mm");
        placeSeries(first, normal, v);
        return true;
    }
    for (FileTags &t : f)
        t.along = t.position[0] * normal[0] + t.position[1] * normal[1] + t.position[2] * normal[2];
    std::stable_sort(f.begin(), f.end(), [](const FileTags &a, const FileTags &b) { return a.along < b.along; });
    const size_t n = f.size();
    for (size_t i = 1; i < n; ++i)
        if (f[i].along - f[i - 1].along < 1e-3) {
            *error = format("%s and %s lie at the same position (%g mm along the slice normal)",
                            f[i - 1].name.c_str(), f[i].name.c_str(), f[i].along);
            return false;
        }
    // Slices that move within their plane from one to the next were taken with a tilted gantry.
    double shift[3], along = f[n - 1].along - f[0].along;
    for (int k = 0; k < 3; ++k)
        shift[k] = f[n - 1].position[k] - f[0].position[k] - along * normal[k];
    const double sideways = std::sqrt(shift[0] * shift[0] + shift[1] * shift[1] + shift[2] * shift[2]);
    if (sideways > 0.01 + 1e-3 * along) {
        *error = format("%s to %s: the slices move %g mm within their plane over %g mm (a gantry tilt); tilted "
                        "slices are not read",
                        f[0].name.c_str(), f[n - 1].name.c_str(), sideways, along);
        return false;
    }
    const double mean = along / double(n - 1);
    double worst = 0;
    for (size_t i = 1; i < n; ++i)
        worst = std::max(worst, std::fabs(f[i].along - f[i - 1].along - mean));
    v->spacing[2] = mean;
    if (worst > std::max(0.01, 0.01 * mean)) {
        out->sliceSpacing.resize(n);
        for (size_t i = 1; i < n; ++i)
            out->sliceSpacing[i] = float(f[i].along - f[i - 1].along);
        out->sliceSpacing[0] = out->sliceSpacing[1];
        v->notes.push_back(format("slices unevenly spaced (%g to %g mm): a vrdRectZ grid, with no orientation line",
                                  double(*std::min_element(out->sliceSpacing.begin(), out->sliceSpacing.end())),
                                  double(*std::max_element(out->sliceSpacing.begin(), out->sliceSpacing.end()))));
        return true;
    }
    placeSeries(f[0], normal, v); // the first along the normal, after sorting
    return true;
}

// ---- values

struct ValueRange {
    double lo = INFINITY, hi = -INFINITY;
    bool integral = true, float32 = true;
    void add(double value)
    {
        lo = std::min(lo, value);
        hi = std::max(hi, value);
        if (!std::isfinite(value)) // a slope near the largest double
            integral = float32 = false;
        if (integral && value != std::floor(value))
            integral = false;
        if (float32 && double(float(value)) != value)
            float32 = false;
    }
};

Scalar scalarOf(int32_t dtype)
{
    switch (dtype) {
    case vrdUChar: return Scalar::UInt8;
    case vrdChar: return Scalar::Int8;
    case vrdUInt12:
    case vrdUInt16: return Scalar::UInt16;
    case vrdInt16:
    case vrdIntHU: return Scalar::Int16;
    case vrdUInt32: return Scalar::UInt32;
    case vrdInt32: return Scalar::Int32;
    case vrdFloat: return Scalar::Float32;
    default: return Scalar::Float64;
    }
}

bool isIntegral(double x) { return x == std::floor(x); }

// Every value slope * stored + intercept for the stored values the bits allow.
ValueRange possibleValues(const FileTags &t)
{
    const double smin = t.signedValues ? -std::ldexp(1.0, int(t.bitsStored) - 1) : 0;
    const double smax = t.signedValues ? std::ldexp(1.0, int(t.bitsStored) - 1) - 1 : std::ldexp(1.0, int(t.bitsStored)) - 1;
    ValueRange r;
    const double a = smin * t.slope + t.intercept, b = smax * t.slope + t.intercept;
    r.lo = std::min(a, b), r.hi = std::max(a, b);
    r.integral = isIntegral(t.slope) && isIntegral(t.intercept);
    // Exact in float32 when slope and intercept are multiples of one power of
    // two that leaves every value within float32's 24-bit significand.
    r.float32 = false;
    for (int m = 0; m <= 40 && !r.float32; ++m) {
        const double s = std::ldexp(t.slope, m), i = std::ldexp(t.intercept, m);
        if (isIntegral(s) && isIntegral(i))
            r.float32 = std::ldexp(std::max(std::fabs(r.lo), std::fabs(r.hi)), m) <= 16777216.0;
    }
    return r;
}

int32_t narrowest(const ValueRange &r, bool ct)
{
    auto within = [&](double lo, double hi) { return r.lo >= lo && r.hi <= hi; };
    if (r.integral) {
        if (ct && within(-32768, 32767))
            return vrdIntHU;
        if (within(0, 255))
            return vrdUChar;
        if (within(-128, 127))
            return vrdChar;
        if (within(0, 4095))
            return vrdUInt12;
        if (within(0, 65535))
            return vrdUInt16;
        if (within(-32768, 32767))
            return vrdInt16;
        if (within(0, 4294967295.0))
            return vrdUInt32;
        if (within(-2147483648.0, 2147483647.0))
            return vrdInt32;
    }
    return r.float32 ? vrdFloat : vrdDouble;
}

// One file's pixels decoded, converted to the output type with its rescale.
class Decoder {
public:
    // The slice's stored values, and with needGdcm the child that decodes
    // what is compressed (or big-endian) into them.
    bool init(const GdcmCalls &gdcm, uint64_t sliceValues, unsigned storedBytes, bool needGdcm, std::string *error)
    {
        calls_ = &gdcm;
        values_ = sliceValues;
        room_ = sliceValues * storedBytes;
        if (!block_.allocate(size_t(kPixelsAt + room_))) {
            *error = "cannot have memory for a slice";
            return false;
        }
        pixels_ = block_.data() + kPixelsAt;
        GdcmImage *r = result();
        uint8_t *pixels = pixels_;
        const GdcmCalls *calls = calls_;
        return !needGdcm ||
               gdcm_.start([calls, r, pixels](const std::string &path) { calls->decode(path.c_str(), r, pixels); },
                           error);
    }
    void setType(int32_t dtype) { dtype_ = dtype; }

    // Decodes path into the stored values; check reports their rescaled range when given.
    bool decode(const std::string &dir, const FileTags &t, void *out, ValueRange *check, std::string *error)
    {
        const std::string path = dir + "/" + t.name;
        Walk walk;
        std::string why;
        // Stored little-endian values are read straight into the slice: GDCM
        // would copy them through its stream buffers three times over.
        const unsigned bytes = t.bitsAllocated / 8;
        const bool stored = !t.encapsulated && !t.transferSyntaxBigEndian;
        if (!walkFile(path, &walk, &why, stored ? pixels_ : nullptr, values_ * bytes)) {
            *error = format("%s: %s", t.name.c_str(), why.c_str());
            return false;
        }
        if (stored) {
            if (kHostBigEndian)
                swapBytes(pixels_, values_, int(bytes));
            return convertAny(t, bytes, t.signedValues, out, check, error);
        }
        return decodeWithGdcm(path, t, out, check, error);
    }

private:
    static constexpr size_t kPixelsAt = 512; // after the GdcmImage in the shared block
    static_assert(sizeof(GdcmImage) <= kPixelsAt, "the image record fits before the pixels");
    GdcmImage *result() const { return reinterpret_cast<GdcmImage *>(block_.data()); }

    bool decodeWithGdcm(const std::string &path, const FileTags &t, void *out, ValueRange *check, std::string *error)
    {
        GdcmImage *r = result();
        memset(r, 0, sizeof *r);
        r->columns = t.columns, r->rows = t.rows, r->values = values_, r->room = room_;
        std::string why;
        const bool ended = gdcm_.run(path, &why);
        if (ended && r->decoded == 1)
            return convertAny(t, r->bytes, r->isSigned != 0, out, check, error);
        r->message[sizeof r->message - 1] = '\0';
        if (ended && r->message[0] != '\0') {
            *error = format("%s: %s", t.name.c_str(), r->message);
            return false;
        }
        std::string name = t.transferSyntax;
        if (const char *known = calls_->uidName(t.transferSyntax.c_str()))
            name += format(" (%s)", known);
        *error = format("%s: the pixel data cannot be decoded (transfer syntax %s)%s%s", t.name.c_str(), name.c_str(),
                        ended ? "" : ": ", ended ? "" : why.c_str());
        return false;
    }

    bool convertAny(const FileTags &t, unsigned bytes, bool isSigned, void *out, ValueRange *check, std::string *error)
    {
        const unsigned stored = std::min<unsigned>(t.bitsStored, bytes * 8);
        switch (bytes) {
        case 1: return isSigned ? convert<int8_t>(t, stored, out, check, error) : convert<uint8_t>(t, stored, out, check, error);
        case 2: return isSigned ? convert<int16_t>(t, stored, out, check, error) : convert<uint16_t>(t, stored, out, check, error);
        default: return isSigned ? convert<int32_t>(t, stored, out, check, error) : convert<uint32_t>(t, stored, out, check, error);
        }
    }

    template <typename In>
    bool convert(const FileTags &t, unsigned stored, void *out, ValueRange *check, std::string *error)
    {
        const In *in = reinterpret_cast<const In *>(pixels_);
        // Bits above the stored ones may hold anything (overlays): they are masked off.
        const unsigned width = sizeof(In) * 8;
        const uint64_t mask = stored >= 64 ? ~uint64_t{0} : (uint64_t{1} << stored) - 1;
        const bool sign = std::is_signed<In>::value;
        auto storedValue = [&](In raw) -> int64_t {
            if (stored == width)
                return int64_t(raw);
            const uint64_t bits = uint64_t(static_cast<typename std::make_unsigned<In>::type>(raw)) & mask;
            if (sign && (bits >> (stored - 1)) != 0)
                return int64_t(bits) - int64_t(mask) - 1;
            return int64_t(bits);
        };
        const double slope = t.slope, intercept = t.intercept;
        if (check != nullptr) {
            for (uint64_t i = 0; i < values_; ++i)
                check->add(double(storedValue(in[i])) * slope + intercept);
            return true;
        }
        bool ok = true;
        // Integral rescales stay in integers, which also keeps the loop fast.
        const bool integralRescale = isIntegral(slope) && isIntegral(intercept) && std::fabs(slope) < 2147483648.0 &&
                                     std::fabs(intercept) < 2147483648.0;
        auto put = [&](auto *o, int64_t lo, int64_t hi) {
            using Out = typename std::remove_pointer<decltype(o)>::type;
            if (integralRescale) {
                const int64_t s = int64_t(slope), c = int64_t(intercept);
                bool bad = false;
                for (uint64_t i = 0; i < values_; ++i) {
                    const int64_t value = storedValue(in[i]) * s + c;
                    bad |= value < lo || value > hi;
                    o[i] = Out(value);
                }
                ok = !bad;
                return;
            }
            for (uint64_t i = 0; i < values_; ++i) {
                const double value = double(storedValue(in[i])) * slope + intercept;
                const bool fits = value >= double(lo) && value <= double(hi) && value == std::floor(value);
                ok = ok && fits;
                o[i] = fits ? Out(value) : Out(0);
            }
        };
        switch (dtype_) {
        case vrdUChar: put(static_cast<uint8_t *>(out), 0, 255); break;
        case vrdChar: put(static_cast<int8_t *>(out), -128, 127); break;
        case vrdUInt12: put(static_cast<uint16_t *>(out), 0, 4095); break;
        case vrdUInt16: put(static_cast<uint16_t *>(out), 0, 65535); break;
        case vrdInt16:
        case vrdIntHU: put(static_cast<int16_t *>(out), -32768, 32767); break;
        case vrdUInt32: put(static_cast<uint32_t *>(out), 0, 4294967295); break;
        case vrdInt32: put(static_cast<int32_t *>(out), -2147483648LL, 2147483647); break;
        case vrdFloat: {
            float *o = static_cast<float *>(out);
            for (uint64_t i = 0; i < values_; ++i) {
                const double value = double(storedValue(in[i])) * slope + intercept;
                o[i] = float(value);
                if (double(o[i]) != value)
                    ok = false;
            }
            break;
        }
        default: {
            double *o = static_cast<double *>(out);
            for (uint64_t i = 0; i < values_; ++i)
                o[i] = double(storedValue(in[i])) * slope + intercept;
            break;
        }
        }
        if (!ok)
            *error = format("%s: values do not fit the type chosen from the series (the file changed?)",
                            t.name.c_str());
        return ok;
    }

    const GdcmCalls *calls_ = nullptr;
    uint64_t values_ = 0, room_ = 0;
    int32_t dtype_ = 0;
    SharedBlock block_;
    uint8_t *pixels_ = nullptr;
    GdcmWorker gdcm_;
};

class DicomSource : public SliceSource {
public:
    DicomSource(std::string dir, std::vector<FileTags> files) : dir_(std::move(dir)), files_(std::move(files)) {}
    Decoder decoder;
    bool read(void *buffer, std::string *error) override
    {
        if (next_ >= files_.size()) {
            *error = "no more slices";
            return false;
        }
        // The slice engine calls this on its reader thread: nothing may escape it.
        try {
            return decoder.decode(dir_, files_[next_++], buffer, nullptr, error);
        } catch (const std::exception &e) {
            *error = format("%s: decoding failed: %s", files_[next_ - 1].name.c_str(), e.what());
            return false;
        }
    }
    bool trailingData() override { return false; }

private:
    std::string dir_;
    std::vector<FileTags> files_;
    size_t next_ = 0;
};

} // namespace

void dicomGrid(const DicomSeries &series, bool uniform, VrdHeader *h, std::string *note)
{
    if (series.sliceSpacing.empty())
        return;
    if (uniform) {
        *note = format("unevenly spaced slices written with the mean z spacing %g", double(h->pz));
        return;
    }
    // The header owns its arrays for the rest of the run, as the library's reader does.
    h->rz = static_cast<float *>(malloc(series.sliceSpacing.size() * sizeof(float)));
    if (h->rz == nullptr)
        return; // the regular grid with the mean spacing stays
    std::copy(series.sliceSpacing.begin(), series.sliceSpacing.end(), h->rz);
    h->vtype = vrdRectZ;
}

bool checkDicomLengths(const std::string &path, std::string *transferSyntax, std::string *error)
{
    Walk walk;
    const bool ok = walkFile(path, &walk, error);
    *transferSyntax = walk.transferSyntax;
    return ok;
}

std::unique_ptr<SliceSource> openDicom(const std::string &dir, const DicomRequest &request, Volume *v,
                                       DicomSeries *out, std::string *error)
{
    *v = Volume{};
    *out = DicomSeries{};
    DIR *folder = opendir(dir.c_str());
    if (folder == nullptr) {
        *error = format("cannot open the folder: %s", strerror(errno));
        return nullptr;
    }
    std::vector<std::string> names;
    while (const dirent *e = readdir(folder)) {
        const std::string name = e->d_name;
        struct stat st{};
        if (name != "." && name != ".." && stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end()); // messages in a stable order, never the slice order

    // Loaded here, for DICOM inputs only; it keeps GDCM from printing, since
    // the run says what matters in one line.
    const GdcmCalls *gdcm = gdcmCalls(error);
    if (gdcm == nullptr)
        return nullptr;
    SharedBlock shared;
    GdcmWorker tagReader;
    if (!shared.allocate(kTagBlockBytes)) {
        *error = "cannot have shared memory for reading the tags";
        return nullptr;
    }
    uint8_t *tagBlock = shared.data();
    auto fetchTags = [gdcm, tagBlock](const std::string &path) {
        gdcm->fetchTags(path.c_str(), &kTags[0][0], kTagCount, kMostTagText, tagBlock);
    };
    if (!tagReader.start(fetchTags, error))
        return nullptr;
    std::vector<Series> all;
    std::map<std::string, size_t> byUid;
    size_t skipped = 0;
    std::string firstSkipped;
    try {
        for (const std::string &name : names) {
            FileTags t;
            bool image = false;
            if (!readTags(dir, name, request.keepTags, tagReader, tagBlock, &t, &image, error))
                return nullptr;
            if (!image) {
                if (skipped++ == 0)
                    firstSkipped = name;
                continue;
            }
            auto found = byUid.find(t.seriesUid);
            if (found == byUid.end()) {
                found = byUid.emplace(t.seriesUid, all.size()).first;
                all.push_back(Series{t.seriesUid, t.seriesNumber, t.seriesDescription, {}});
            }
            all[found->second].files.push_back(std::move(t));
        }
    } catch (const std::exception &e) {
        *error = format("reading the tags failed: %s", e.what());
        return nullptr;
    }
    if (all.empty()) {
        *error = names.empty() ? "the folder is empty" : "no DICOM image in the folder";
        return nullptr;
    }
    Series series;
    if (!choose(all, request.series, &series, error))
        return nullptr;
    all.clear();
    if (skipped > 0)
        v->notes.push_back(format("%zu file%s not DICOM images of a series (%s%s), skipped", skipped,
                                  skipped == 1 ? "" : "s", firstSkipped.c_str(), skipped > 1 ? ", ..." : ""));
    if (!arrange(*gdcm, series, v, out, error))
        return nullptr;

    // The type: from what the stored bits allow, or, when that needs more
    // than 16 bits, from the values themselves, read once more.
    const bool ct = series.files[0].modality == "CT";
    ValueRange possible;
    for (const FileTags &t : series.files) {
        const ValueRange r = possibleValues(t);
        possible.lo = std::min(possible.lo, r.lo), possible.hi = std::max(possible.hi, r.hi);
        possible.integral = possible.integral && r.integral;
        possible.float32 = possible.float32 && r.float32;
    }
    out->dtype = narrowest(possible, ct);
    const uint64_t sliceValues = uint64_t(v->nx) * uint64_t(v->ny);
    auto source = std::make_unique<DicomSource>(dir, series.files);
    const bool settled = out->dtype != vrdFloat && out->dtype != vrdDouble && scalarBytes(scalarOf(out->dtype)) <= 2;
    unsigned storedBytes = 1;
    bool needGdcm = false;
    for (const FileTags &t : series.files) {
        storedBytes = std::max(storedBytes, t.bitsAllocated / 8);
        needGdcm = needGdcm || t.encapsulated || t.transferSyntaxBigEndian;
    }
    tagReader.stop(); // the tags are read: its child exits
    if (!source->decoder.init(*gdcm, sliceValues, storedBytes, needGdcm, error))
        return nullptr;
    if (!settled || (ct && out->dtype != vrdIntHU)) {
        ValueRange actual;
        try {
            for (const FileTags &t : series.files)
                if (!source->decoder.decode(dir, t, nullptr, &actual, error))
                    return nullptr;
        } catch (const std::exception &e) {
            *error = format("decoding failed: %s", e.what());
            return nullptr;
        }
        out->dtype = narrowest(actual, ct);
    }
    source->decoder.setType(out->dtype);
    v->type = scalarOf(out->dtype);
    v->bigEndian = kHostBigEndian;
    for (const FileTags &t : series.files)
        if (t.photometric == "MONOCHROME1") {
            v->notes.push_back("MONOCHROME1: higher values show darker; the values are kept as they are");
            break;
        }
    if (request.keepTags)
        v->comments = series.files[0].kept;
    return source;
}

} // namespace vrdconvert
