#include "report.h"

#include "describe.h"
#include "run.h"
#include "stats.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vrdinfo {

namespace {

// An open file and the header read from it, released together.
struct Volume {
    FILE *file = nullptr;
    VrdHeader header{};
    Icon icon;
    ~Volume()
    {
        if (file != nullptr)
            fclose(file);
        vrdFreeHeader(&header);
    }
};

// Reads the header and steps over the icon, keeping the icon's size, with
// the library's reentrant reader: the report runs inside the viewer's
// server too. Returns an empty string, or the reason for a refusal.
std::string openVolume(Volume &v, const char *path)
{
    VrdPrologue prologue{};
    char message[300] = "";
    if (vrdOpenReadR(path, &v.header, &prologue, &v.file, message, sizeof message) != 0)
        return message;
    Icon &icon = v.icon;
    icon.width = prologue.iconWidth, icon.height = prologue.iconHeight, icon.isColor = prologue.isColor;
    icon.bytes = uint64_t(icon.isColor ? 3 : 1) * uint64_t(icon.width) * uint64_t(icon.height);
    return "";
}

// The run over one file's slices, as the engine's callbacks see it.
struct Run {
    FILE *out = nullptr;
    const Options *options = nullptr;
    int32_t dtype = 0;
    uint64_t sliceBytes = 0;
    Stats totals;
    int32_t reached = 0;    // slices whose block (or the start of its length field) the file has
    int64_t notWhole = 0;   // of those, the ones not read whole
    int32_t endsAt = -1;    // the slice in which the file ends, if it ends early
    bool firstRow = true;
};

std::string valueText(const Run &run, double v)
{
    return run.dtype == vrdFloat ? floatText(float(v)) : numberText(v);
}

std::string valueJson(const Run &run, double v)
{
    return run.dtype == vrdFloat ? jsonFloat(float(v)) : jsonNumber(v);
}

// One row of the slice table; length < 0: the file ends inside the length field.
void sliceRow(Run &run, int32_t z, int64_t length, bool whole, const Stats &s)
{
    const bool values = whole && s.finite > 0;
    const double ratio = length > 0 ? double(run.sliceBytes) / double(length) : INFINITY;
    if (run.options->json) {
        fprintf(run.out, "%s{\"z\":%d,\"block_bytes\":%s,\"ratio\":%s,\"whole\":%s", run.firstRow ? "" : ",", z,
                length < 0 ? "null" : std::to_string(length).c_str(), length < 0 ? "null" : jsonNumber(ratio).c_str(),
                whole ? "true" : "false");
        if (values)
            fprintf(run.out, ",\"min\":%s,\"max\":%s,\"mean\":%s}", valueJson(run, s.min).c_str(),
                    valueJson(run, s.max).c_str(), jsonNumber(s.mean).c_str());
        else
            fputs(",\"min\":null,\"max\":null,\"mean\":null}", run.out);
    } else {
        char ratioText[32] = "-";
        if (length >= 0)
            snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
        fprintf(run.out, "  %8d %12s %8s %14s %14s %14s%s\n", z, length < 0 ? "-" : std::to_string(length).c_str(),
                ratioText, values ? valueText(run, s.min).c_str() : "-", values ? valueText(run, s.max).c_str() : "-",
                values ? numberText(s.mean).c_str() : "-", whole ? "" : "  not read whole");
    }
    run.firstRow = false;
}

void computeSlice(void *user, int32_t, int32_t, const void *const *inputs, void *, int32_t count, void *scratch)
{
    const Run &run = *static_cast<const Run *>(user);
    sliceStats(inputs[0], run.dtype, count, static_cast<Stats *>(scratch));
}

// A block the file ends inside: its length field is cut, or fewer payload
// bytes arrived than it announces (the library's read error).
bool cutShort(const VrdBlockResult &b)
{
    return b.lengthEnded != 0 || strstr(b.message, "read error") != nullptr;
}

// Counts one slice's block in slice order; length < 0: the length field is cut.
void account(Run &run, int32_t z, int64_t length, bool whole, bool cut, const Stats &s)
{
    ++run.reached;
    run.notWhole += !whole;
    if (run.endsAt < 0 && cut)
        run.endsAt = z;
    if (whole)
        combine(run.totals, s);
    if (run.options->slices)
        sliceRow(run, z, length, whole, s);
}

void sliceDone(void *user, int32_t z, const void *const *, const VrdBlockResult *blocks, const void *, void *scratch)
{
    const VrdBlockResult &b = blocks[0];
    account(*static_cast<Run *>(user), z, b.lengthEnded != 0 ? -1 : int64_t(b.length), b.outcome == vrdBlockWhole,
            cutShort(b), *static_cast<const Stats *>(scratch));
}

// The engine completes a slice that its block does not fill with the slice
// before, a copy of the whole slice per such block; past this many bytes of
// copies (a header announcing huge slices over a small file) the blocks are
// read in one loop that skips the ones that cannot hold a slice.
constexpr uint64_t kCopiesBudget = uint64_t{1} << 30;

// The engine holds a few slices per thread; a file must be able to fill
// them (deflate expands at most 1032 times) to be read on it, or it could
// take far more memory than it holds: past this it is read in one loop.
bool engineFits(uint64_t sliceBytes, uint64_t fileBytes)
{
    const uint64_t engineBytes = uint64_t(vrdDefaultThreads()) * 4 * sliceBytes;
    return engineBytes <= 1032 * fileBytes + (uint64_t{64} << 20);
}

// The block at byte `at` of a regular file of `size` bytes, by its length
// field alone: whether it can hold a whole slice, and where it ends.
struct Block {
    bool lengthCut = false, fits = false;
    uint64_t length = 0, end = 0;
};

Block blockAt(int fd, uint64_t at, uint64_t size, uint64_t sliceBytes, bool raw)
{
    Block b;
    unsigned char field[4];
    if (at + 4 > size || pread(fd, field, 4, off_t(at)) != 4) {
        b.lengthCut = true;
        return b;
    }
    b.length = uint64_t(field[0]) << 24 | uint64_t(field[1]) << 16 | uint64_t(field[2]) << 8 | field[3];
    b.end = at + 4 + b.length;
    b.fits = b.end <= size && (raw ? b.length == sliceBytes : b.length >= vrdtool::leastBlockBytes(sliceBytes, vrdCompZlib));
    return b;
}

// Bytes of slice copies the engine would make for the blocks that cannot
// hold their slice, stopping once past the budget.
uint64_t copiesNeeded(const Run &run, int fd, uint64_t at, uint64_t size, int32_t nz, bool raw)
{
    uint64_t copies = 0;
    for (int32_t z = 0; z < nz && copies <= kCopiesBudget; ++z) {
        const Block b = blockAt(fd, at, size, run.sliceBytes, raw);
        copies += b.fits ? 0 : run.sliceBytes;
        if (b.lengthCut || b.end > size)
            break;
        at = b.end;
    }
    return copies;
}

// The one-thread loop over the blocks of a regular file: a block that cannot
// hold its slice is skipped (it is damaged whatever it holds), the others
// are read through the library's block reader, which reports and never exits.
std::string readInOrder(Run &run, Volume &v, uint64_t size)
{
    const VrdHeader &h = v.header;
    const bool raw = h.compression == vrdCompNone;
    const int fd = fileno(v.file);
    VrdCodec *codec = raw ? nullptr : vrdCodecNew(vrdCodecInflate | vrdCodecStream, nullptr);
    void *slice = nullptr; // had at the first block that can hold a slice
    const std::string noMemory = "cannot allocate " + std::to_string(run.sliceBytes) + " bytes for a slice";
    if (!raw && codec == nullptr)
        return noMemory;
    uint64_t at = uint64_t(ftello(v.file));
    for (int32_t z = 0; z < h.nz; ++z) {
        const Block b = blockAt(fd, at, size, run.sliceBytes, raw);
        if (!b.fits) {
            account(run, z, b.lengthCut ? -1 : int64_t(b.length), false, b.lengthCut || b.end > size, Stats{});
            if (b.lengthCut || b.end > size)
                break;
            at = b.end;
            continue;
        }
        // Pages are touched only where a block fills them.
        if (slice == nullptr && (slice = calloc(size_t(run.sliceBytes), 1)) == nullptr) {
            vrdCodecFree(codec);
            return noMemory;
        }
        VrdBlockResult result{};
        Stats s;
        if (fseeko(v.file, off_t(at), SEEK_SET) == 0)
            vrdReadBlock(v.file, codec, slice, h.endian, vrdVoxelSize(h.dtype), h.nx * h.ny, h.compression, &result);
        else
            result.outcome = vrdBlockDamaged;
        const bool whole = result.outcome == vrdBlockWhole;
        if (whole)
            sliceStats(slice, h.dtype, h.nx * h.ny, &s);
        account(run, z, int64_t(b.length), whole, cutShort(result), s);
        at = b.end;
    }
    fseeko(v.file, off_t(std::min(at, size)), SEEK_SET);
    vrdCodecFree(codec);
    free(slice);
    return "";
}

// The blocks of a stream that is not a regular file (a pipe), one after the
// other: a block that cannot hold its slice is read past; a payload is kept
// only as far as it arrives, and the slice is had only for a block that can
// hold it and arrived whole. So a pipe costs memory and time for what it
// sends, whatever slices its header announces.
std::string readStream(Run &run, Volume &v)
{
    const VrdHeader &h = v.header;
    const bool raw = h.compression == vrdCompNone;
    VrdCodec *codec = raw ? nullptr : vrdCodecNew(vrdCodecInflate, nullptr);
    const std::string noMemory = "cannot allocate " + std::to_string(run.sliceBytes) + " bytes for a slice";
    if (!raw && codec == nullptr)
        return noMemory;
    void *slice = nullptr;
    std::vector<unsigned char> payload;
    const uint64_t least = vrdtool::leastBlockBytes(run.sliceBytes, h.compression);
    std::string why;
    for (int32_t z = 0; z < h.nz; ++z) {
        unsigned char field[4];
        if (fread(field, 1, 4, v.file) != 4) {
            account(run, z, -1, false, true, Stats{});
            break;
        }
        const uint32_t length = uint32_t(field[0]) << 24 | uint32_t(field[1]) << 16 | uint32_t(field[2]) << 8 | field[3];
        const bool fits = raw ? length == run.sliceBytes : length >= least;
        // Read in pieces, so that what is kept grows only with what arrives.
        uint64_t arrived = 0;
        payload.clear();
        unsigned char piece[65536];
        while (arrived < length) {
            const size_t want = size_t(std::min<uint64_t>(sizeof piece, length - arrived));
            const size_t got = fread(piece, 1, want, v.file);
            if (fits)
                payload.insert(payload.end(), piece, piece + got);
            arrived += got;
            if (got < want)
                break;
        }
        if (!fits || arrived < length) {
            account(run, z, int64_t(length), false, arrived < length, Stats{});
            continue;
        }
        if (slice == nullptr && (slice = calloc(size_t(run.sliceBytes), 1)) == nullptr) {
            why = noMemory;
            break;
        }
        VrdBlockResult result{};
        vrdDecodeBlock(codec, length, payload.data(), arrived, slice, h.endian, vrdVoxelSize(h.dtype), h.nx * h.ny,
                       h.compression, &result);
        Stats s;
        const bool whole = result.outcome == vrdBlockWhole;
        if (whole)
            sliceStats(slice, h.dtype, h.nx * h.ny, &s);
        account(run, z, int64_t(length), whole, false, s);
    }
    vrdCodecFree(codec);
    free(slice);
    return why;
}

// Bytes from the stream's position to its end.
uint64_t bytesLeft(FILE *file)
{
    struct stat info;
    const off_t at = ftello(file);
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && at >= 0)
        return uint64_t(info.st_size) > uint64_t(at) ? uint64_t(info.st_size) - uint64_t(at) : 0;
    uint64_t left = 0;
    char chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        left += got;
    return left;
}

// Checks every block; returns an empty string, or why the file is refused.
std::string checkBlocks(Run &run, Volume &v)
{
    const VrdHeader &h = v.header;
    if (h.nbands != 1)
        return std::to_string(h.nbands) + " bands per voxel; only single-band volumes can be checked";
    if (int64_t(h.nx) * h.ny > INT32_MAX || run.sliceBytes > UINT32_MAX)
        return "slices of " + std::to_string(h.nx) + " x " + std::to_string(h.ny) + " voxels are too large for a block";

    struct stat info;
    const off_t start = ftello(v.file);
    const bool regular = fstat(fileno(v.file), &info) == 0 && S_ISREG(info.st_mode) && start >= 0;
    if (!regular)
        return readStream(run, v);
    if (!engineFits(run.sliceBytes, uint64_t(info.st_size)) ||
        copiesNeeded(run, fileno(v.file), uint64_t(start), uint64_t(info.st_size), h.nz, h.compression == vrdCompNone) >
            kCopiesBudget)
        return readInOrder(run, v, uint64_t(info.st_size));

    const VrdEngineInput input{v.file, &v.header, nullptr};
    VrdEngineSetup setup{};
    setup.inputCount = 1;
    setup.inputs = &input;
    setup.scratchBytes = sizeof(Stats);
    setup.compute = computeSlice;
    setup.ordered = sliceDone;
    setup.user = &run;
    // Damaged blocks are counted, not printed, and never end the run.
    setup.flags = vrdtool::engineFlags(false) | vrdEngineKeepGoing | vrdEngineQuiet | vrdEngineRepeats;
    // Rows that reach a terminal as the slices are read show the progress
    // themselves; a progress line between them would break them up.
    if (run.options->slices && isatty(fileno(run.out)) && getenv("VRD_PROGRESS") == nullptr)
        setup.flags &= ~vrdEngineProgress;
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    if (engine == nullptr)
        return why;
    vrdEngineRun(engine, nullptr);
    vrdEngineFree(engine);
    return "";
}

void statsText(FILE *out, const Run &run, int32_t count)
{
    const Stats &s = run.totals;
    const int64_t whole = run.reached - run.notWhole;
    fprintf(out, "  %-20s %lld voxels in %lld whole slices\n", "statistics", static_cast<long long>(whole * count),
            static_cast<long long>(whole));
    if (s.finite > 0) {
        fprintf(out, "  %-20s %s\n", "min", valueText(run, s.min).c_str());
        fprintf(out, "  %-20s %s\n", "max", valueText(run, s.max).c_str());
        fprintf(out, "  %-20s %s\n", "mean", numberText(s.mean).c_str());
        fprintf(out, "  %-20s %s\n", "standard deviation", numberText(deviation(s)).c_str());
    } else
        fprintf(out, "  %-20s none (no finite values)\n", "min, max, mean");
    fprintf(out, "  %-20s %llu zero, %llu NaN, %llu infinite\n", "values", static_cast<unsigned long long>(s.zero),
            static_cast<unsigned long long>(s.nan), static_cast<unsigned long long>(s.infinite));
}

void statsJson(FILE *out, const Run &run, int32_t count)
{
    const Stats &s = run.totals;
    const int64_t whole = run.reached - run.notWhole;
    fprintf(out, ",\"stats\":{\"whole_slices\":%lld,\"voxels\":%lld,\"finite\":%llu", static_cast<long long>(whole),
            static_cast<long long>(whole * count), static_cast<unsigned long long>(s.finite));
    if (s.finite > 0)
        fprintf(out, ",\"min\":%s,\"max\":%s,\"mean\":%s,\"std\":%s", valueJson(run, s.min).c_str(),
                valueJson(run, s.max).c_str(), jsonNumber(s.mean).c_str(), jsonNumber(deviation(s)).c_str());
    else
        fputs(",\"min\":null,\"max\":null,\"mean\":null,\"std\":null", out);
    fprintf(out, ",\"zero\":%llu,\"nan\":%llu,\"infinite\":%llu}", static_cast<unsigned long long>(s.zero),
            static_cast<unsigned long long>(s.nan), static_cast<unsigned long long>(s.infinite));
}

const char *statusName(Verdict v)
{
    return v == kSound ? "sound" : v == kDamaged ? "damaged" : "refused";
}

void verdictLine(FILE *out, const Options &options, const char *path, Verdict v, const std::string &text)
{
    if (options.json)
        fprintf(out, ",\"status\":\"%s\",\"verdict\":%s}\n", statusName(v), jsonString(text).c_str());
    else
        fprintf(out, "%s: %s\n", path, text.c_str());
}

Verdict refused(FILE *out, const Options &options, const char *path, const std::string &reason, std::string *why)
{
    verdictLine(out, options, path, kRefused, "refused: " + reason);
    if (why != nullptr)
        *why = reason;
    return kRefused;
}

} // namespace

Verdict reportFile(FILE *out, const char *path, const Options &options, std::string *refusal)
{
    if (options.json)
        fprintf(out, "{\"file\":%s", jsonString(path).c_str());
    Volume v;
    const std::string unread = openVolume(v, path);
    if (!unread.empty())
        return refused(out, options, path, unread, refusal);

    const VrdHeader &h = v.header;
    Run run;
    run.out = out;
    run.options = &options;
    run.dtype = h.dtype;
    run.sliceBytes = uint64_t(vrdVoxelSize(h.dtype)) * uint64_t(h.nx) * uint64_t(h.ny);
    if (options.json) {
        describeJson(out, h, v.icon);
        fprintf(out, ",\"slice_bytes\":%llu", static_cast<unsigned long long>(run.sliceBytes));
    } else {
        fprintf(out, "%s\n", path);
        describeText(out, h, v.icon);
        fprintf(out, "  %-20s %d of %llu bytes\n", "slices", h.nz, static_cast<unsigned long long>(run.sliceBytes));
    }
    if (options.slices)
        fputs(options.json ? ",\"slices\":[" : "         z  block bytes    ratio            min            max           mean\n",
              out);
    const std::string blocksRefused = checkBlocks(run, v);
    if (options.slices && options.json)
        fputc(']', out);
    if (!blocksRefused.empty())
        return refused(out, options, path, blocksRefused, refusal);

    const int32_t count = h.nx * h.ny;
    const int64_t damaged = run.notWhole + (h.nz - run.reached);
    const uint64_t trailing = run.reached == h.nz && run.endsAt < 0 ? bytesLeft(v.file) : 0;
    const Verdict verdict = damaged > 0 ? kDamaged : kSound;
    std::string text = damaged > 0 ? "damaged: " + std::to_string(damaged) + " of " + std::to_string(h.nz) +
                                         " slices not read whole"
                                   : "sound";
    if (run.endsAt >= 0)
        text += ", the file ends at slice " + std::to_string(run.endsAt);
    if (trailing > 0)
        text += ", " + std::to_string(trailing) + " bytes after the last block";
    if (options.json) {
        statsJson(out, run, count);
        fprintf(out, ",\"slices_damaged\":%lld,\"ends_at_slice\":%s,\"trailing_bytes\":%llu",
                static_cast<long long>(damaged), run.endsAt < 0 ? "null" : std::to_string(run.endsAt).c_str(),
                static_cast<unsigned long long>(trailing));
    } else
        statsText(out, run, count);
    verdictLine(out, options, path, verdict, text);
    return verdict;
}

} // namespace vrdinfo
