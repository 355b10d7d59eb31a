#include "vrd/reader.h"

#include "vrd/clocale_internal.h"
#include "vrd/validate.h"
#include "vrd/writer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <cerrno>
#include <sys/stat.h>

namespace {

// Every line is read with this limit, so a longer line arrives in pieces.
constexpr int kLineLimit = 2050;

// Icon bytes are read and dropped through a scratch buffer of at most this
// size, so a large icon size in a file costs no memory of its own.
constexpr size_t kIconChunk = 64 * 1024;

struct KeyWord {
    const char *word;
    int32_t code;
};

const KeyWord kCompressionWords[] = {{"zlib", vrdCompZlib}, {"none", vrdCompNone}};
const KeyWord kEndianWords[] = {{"vrdBigEndian", vrdBigEndian}, {"vrdLittleEndian", vrdLittleEndian}};
const KeyWord kVtypeWords[] = {
    {"vrdCubic", vrdCubic}, {"vrdRegular", vrdRegular}, {"vrdRectZ", vrdRectZ}, {"vrdRectXYZ", vrdRectXYZ}};
const KeyWord kCtypeWords[] = {{"vrdMono", 1}, {"vrdColor", 3}};
const KeyWord kDtypeWords[] = {
    {"vrdUChar", vrdUChar}, {"vrdChar", vrdChar}, {"vrdUInt12", vrdUInt12}, {"vrdUInt16", vrdUInt16},
    {"vrdInt16", vrdInt16}, {"vrdIntHU", vrdIntHU}, {"vrdUInt32", vrdUInt32}, {"vrdInt32", vrdInt32},
    {"vrdFloat", vrdFloat}, {"vrdDouble", vrdDouble}};
const KeyWord kUnitsWords[] = {{"vrdUum", vrdUum}, {"vrdUmm", vrdUmm}, {"vrdUm", vrdUm}};

// The code of word in table, or 0 when it is none of its keywords.
template <size_t N>
int32_t lookUp(const KeyWord (&table)[N], const char *word)
{
    for (const KeyWord &entry : table)
        if (strcmp(entry.word, word) == 0)
            return entry.code;
    return 0;
}

// Spacing arrays are set up full-size at the "#!vtype" line, before the file
// has shown a single value; a rectilinear grid with more columns, rows or
// slices than this (64 MiB per array) is refused like one whose array cannot
// be had, rather than left to what the allocator grants.
constexpr int32_t kMaxSpacingEntries = 1 << 24;

// A zero-filled array of count floats; at least one element so that a
// header with a count of 0 still holds an array, whose size is then 0.
float *newSpacingArray(int32_t count)
{
    if (count > kMaxSpacingEntries)
        return nullptr;
    return static_cast<float *>(calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(float)));
}

// One array entry from a spacing line; lines beyond the array are ignored.
void storeSpacing(float *values, int32_t size, int32_t &next, float value)
{
    if (values != nullptr && next < size)
        values[next++] = value;
}

// The writer prints five lines for every slot of a header's transfer
// functions, whether or not the file filled them, and every program that
// writes a volume copies them: the count is what a reader must bound. Real
// volumes carry a handful; beyond this many (each slot printed again costs a
// line, so about 1.4 MB of header for a file that named the count in one
// line) the file is refused like one whose array cannot be had.
constexpr int32_t kMaxTransferFunctions = 4096;

// Strings in reading order, in an array that doubles when full (the library
// is built without exceptions, so no std::vector).
struct Values {
    char **items = nullptr;
    size_t size = 0, room = 0;
    ~Values() { clear(), free(items); }
    void clear()
    {
        for (size_t i = 0; i < size; ++i)
            free(items[i]);
        size = 0;
    }
    bool push(char *item)
    {
        if (size == room) {
            const size_t more = room < 16 ? 16 : room * 2;
            char **grown = static_cast<char **>(realloc(items, more * sizeof(char *)));
            if (grown == nullptr)
                return false;
            items = grown, room = more;
        }
        items[size++] = item;
        return true;
    }
};

// The error number of a comment that cannot be had. The classic reader ends
// the process for it, as vrdAddHdrComment does; the reentrant one refuses.
constexpr int32_t kCommentAllocation = 13;

// State of one header read beyond the header record itself.
struct Parse {
    VrdHeader *h;
    char line[kLineLimit];
    char word[kLineLimit];
    // Sizes of rx, ry and rz as set up by the last "#!vtype" line.
    int32_t sizeX = 0, sizeY = 0, sizeZ = 0;
    int32_t nextX = 0, nextY = 0, nextZ = 0;
    // A "#!tfnum" line only records its count: the array is made once, at
    // the end of the header, so that a count repeated line after line costs
    // nothing per line. Values read since the last count, and the slot of
    // the first of them (slots run on across "#!tfnum" lines).
    int32_t tfCount = 0;
    int64_t tfFirstSlot = 0;
    Values tfValues;
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sets up the spacing arrays of a "#!vtype" line; false when memory runs out.
// Arrays of an earlier "#!vtype" line were set up by this same read (the
// header was reset before the first key line), so no one else holds them.
bool setUpSpacingArrays(Parse &p)
{
    VrdHeader *h = p.h;
    free(h->rx);
    free(h->ry);
    free(h->rz);
    h->rx = h->ry = h->rz = nullptr;
    p.sizeX = p.sizeY = p.sizeZ = 0;
    if (h->vtype == vrdRectXYZ) {
        h->rx = newSpacingArray(h->nx);
        h->ry = newSpacingArray(h->ny);
        if (h->rx == nullptr || h->ry == nullptr)
            return false;
        p.sizeX = h->nx > 0 ? h->nx : 0;
        p.sizeY = h->ny > 0 ? h->ny : 0;
        p.nextX = p.nextY = 0;
    }
    if (h->vtype == vrdRectZ || h->vtype == vrdRectXYZ) {
        h->rz = newSpacingArray(h->nz);
        if (h->rz == nullptr)
            return false;
        p.sizeZ = h->nz > 0 ? h->nz : 0;
        p.nextZ = 0;
    }
    return true;
}

// Appends a comment; false when memory runs out (the header then holds
// every comment before it, none without its string).
bool addComment(VrdHeader *h, const char *text)
{
    const int32_t count = h->commentCount < 0 ? 0 : h->commentCount;
    if (count == INT32_MAX)
        return false;
    char **grown = static_cast<char **>(realloc(h->comments, (static_cast<size_t>(count) + 1) * sizeof(char *)));
    if (grown == nullptr)
        return false;
    h->comments = grown;
    char *copy = strdup(text);
    if (copy == nullptr)
        return false;
    grown[count] = copy;
    h->commentCount = count + 1;
    return true;
}

bool readComment(Parse &p)
{
    size_t length = strlen(p.line);
    if (length > 0)
        p.line[--length] = '\0';
    const char *text = length > 9 ? p.line + 9 : "";
    while (*text != '\0' && isBlank(*text))
        ++text;
    return addComment(p.h, text);
}

void readSpacing(Parse &p, char axis, float v)
{
    VrdHeader *h = p.h;
    if (h->vtype == vrdRectXYZ) {
        if (axis == 'x') storeSpacing(h->rx, p.sizeX, p.nextX, v);
        if (axis == 'y') storeSpacing(h->ry, p.sizeY, p.nextY, v);
        if (axis == 'z') storeSpacing(h->rz, p.sizeZ, p.nextZ, v);
    } else if (h->vtype == vrdRectZ) {
        if (axis == 'x') h->px = v;
        if (axis == 'y') h->py = v;
        if (axis == 'z') storeSpacing(h->rz, p.sizeZ, p.nextZ, v);
    } else if (h->vtype == vrdCubic && axis == 'x') {
        h->px = h->py = h->pz = v;
    } else {
        if (axis == 'x') h->px = v;
        if (axis == 'y') h->py = v;
        if (axis == 'z') h->pz = v;
    }
}

// Applies the first key that the current line matches. Returns 0, or the
// error number that refuses the file.
int32_t applyKey(Parse &p)
{
    VrdHeader *h = p.h;
    const char *line = p.line;
    char *word = p.word;
    int value = 0;
    float real = 0.0f;

    if (sscanf(line, "#!vdim %d %d %d", &h->nx, &h->ny, &h->nz) == 3)
        return 0;
    if (sscanf(line, "#!compression %s", word) == 1) {
        h->compression = lookUp(kCompressionWords, word);
        return h->compression == 0 ? 7 : 0;
    }
    if (sscanf(line, "#!endian %s", word) == 1) {
        h->endian = lookUp(kEndianWords, word);
        return h->endian == 0 ? 7 : 0;
    }
    if (sscanf(line, "#!vtype %s", word) == 1) {
        const int32_t code = lookUp(kVtypeWords, word);
        if (code == 0)
            return 8;
        h->vtype = code;
        return setUpSpacingArrays(p) ? 0 : 14;
    }
    if (sscanf(line, "#!ctype %s", word) == 1) {
        const int32_t bands = lookUp(kCtypeWords, word);
        if (bands == 0)
            return 9;
        h->nbands = bands;
        return 0;
    }
    if (sscanf(line, "#!nbands %d", &value) == 1) {
        if (value < 1)
            return 10;
        h->nbands = value;
        return 0;
    }
    if (sscanf(line, "#!dtype %s", word) == 1) {
        const int32_t code = lookUp(kDtypeWords, word);
        if (code == 0)
            return 11;
        h->dtype = code;
        return 0;
    }
    if (sscanf(line, "#!units %s", word) == 1) {
        const int32_t code = lookUp(kUnitsWords, word);
        if (code == 0)
            return 12;
        h->units = code;
        return 0;
    }
    if (strncmp(line, "#!bgthreshold", 13) == 0) {
        // The dtype read so far decides how the value is read.
        if (h->dtype == vrdFloat || h->dtype == vrdDouble) {
            if (sscanf(line, "#!bgthreshold %f", &real) == 1) {
                h->bgThresholdF = real;
                h->hasBgThreshold = 1;
            }
        } else if (sscanf(line, "#!bgthreshold %d", &value) == 1) {
            h->bgThresholdI = value;
            h->hasBgThreshold = 1;
        }
        return 0;
    }
    if (strncmp(line, "#!comment", 9) == 0)
        return readComment(p) ? 0 : kCommentAllocation;
    if (sscanf(line, "#!px %f", &real) == 1) {
        readSpacing(p, 'x', real);
        return 0;
    }
    if (sscanf(line, "#!py %f", &real) == 1) {
        readSpacing(p, 'y', real);
        return 0;
    }
    if (sscanf(line, "#!pz %f", &real) == 1) {
        readSpacing(p, 'z', real);
        return 0;
    }
    if (sscanf(line, "#!tfnum %d", &value) == 1) {
        if (value < 0 || value > kMaxTransferFunctions)
            return 33;
        // The values of an earlier count sit in slots of an array that this
        // count replaces: they are dropped.
        p.tfFirstSlot += int64_t(p.tfValues.size);
        p.tfValues.clear();
        p.tfCount = value;
        return 0;
    }
    char component = 0;
    if (sscanf(line, "#!tfdata %c %[ \t.0-9_a-zA-Z-] ", &component, word) == 2) {
        if (p.tfCount == 0)
            return 34;
        if (p.tfFirstSlot + int64_t(p.tfValues.size) >= int64_t{p.tfCount} * 5)
            return 31;
        char *copy = strdup(word);
        if (copy == nullptr)
            return 33;
        if (!p.tfValues.push(copy)) {
            free(copy);
            return 33;
        }
        return 0;
    }
    return 0;
}

// Makes the header's transfer-function array of the last count and moves the
// values read since it into their slots. False when memory runs out.
bool setTransferFunctions(Parse &p)
{
    if (p.tfCount == 0)
        return true;
    const size_t slots = size_t(p.tfCount) * 5;
    char **array = static_cast<char **>(calloc(slots, sizeof(char *)));
    if (array == nullptr)
        return false;
    for (size_t i = 0; i < p.tfValues.size; ++i)
        array[size_t(p.tfFirstSlot) + i] = p.tfValues.items[i];
    p.tfValues.size = 0; // the header holds them now
    p.h->tfnum = p.tfCount;
    p.h->tfdata = array;
    return true;
}

// A rectilinear grid whose arrays were sized for other dimensions than the
// header ends with would let the arrays be read past their ends.
bool arraysMatchGrid(const Parse &p)
{
    const VrdHeader *h = p.h;
    if (h->vtype == vrdRectZ)
        return p.sizeZ == h->nz;
    if (h->vtype == vrdRectXYZ)
        return p.sizeX == h->nx && p.sizeY == h->ny && p.sizeZ == h->nz;
    return true;
}

FILE *refuse(int32_t error)
{
    vrdErrno = error;
    return nullptr;
}

void probeNumberFormat()
{
    float value = 0.0f;
    if (sscanf("0.5", "%f", &value) == 1 && value == 0.5f)
        return;
    value = 0.0f;
    if (sscanf("0,5", "%f", &value) == 1 && value == 0.5f) {
        fprintf(stderr, "Incorrect format of floats. Set environmet variable LC_NUMERIC to en_US \n");
        return;
    }
    fprintf(stderr, "Unrecognized float format\n");
    exit(1);
}

// Reads the header lines into h; returns 0 or the error number. Touches no
// global state and prints nothing.
int32_t parseHeader(FILE *file, VrdHeader *h, int32_t *iconWidth, int32_t *iconHeight, int32_t *isColor)
{
    Parse p;
    p.h = h;
    int type = 0;
    if (fgets(p.line, kLineLimit, file) == nullptr || sscanf(p.line, "P%d", &type) != 1)
        return 2;
    if (type != 5 && type != 6)
        return 3;
    *isColor = type == 6 ? 1 : 0;

    int width = 0, height = 0;
    if (fgets(p.line, kLineLimit, file) == nullptr || sscanf(p.line, "%d %d", &width, &height) != 2)
        return 5;
    *iconWidth = width;
    *iconHeight = height;

    vrdClearHeader(h);
    h->compression = vrdCompZlib;

    if (fgets(p.line, kLineLimit, file) == nullptr ||
        sscanf(p.line, "#!vrd %d.%d", &h->versionMajor, &h->versionMinor) != 2)
        return 5;
    if (h->versionMajor > 6)
        return 35;

    const size_t endLength = strlen(vrdLastLine) - 1;
    for (;;) {
        if (fgets(p.line, kLineLimit, file) == nullptr)
            return 6;
        const int32_t error = applyKey(p);
        if (error != 0)
            return error;
        if (strncmp(p.line, vrdLastLine, endLength) == 0)
            break;
    }
    // The PNM maximum-value line; neither its presence nor its text matters.
    (void)fgets(p.line, kLineLimit, file);
    if (!setTransferFunctions(p))
        return 33;

    if (!arraysMatchGrid(p)) {
        // A dimension fault: only the rules before the dimension rule
        // (compression, endian) still come first.
        VrdHeader withoutSpacing = *h;
        withoutSpacing.vtype = vrdRectXYZ + 1;
        const int32_t broken = vrdCheckHeaderR(&withoutSpacing);
        return broken == 36 || broken == 15 ? broken : 16;
    }
    return vrdCheckHeaderR(h);
}

void setMessage(char *message, size_t size, int32_t error, int osError)
{
    if (message == nullptr || size == 0)
        return;
    const char *text = error >= 0 && error <= 36 ? vrdErrorMessages[error] : "unknown error";
    if (osError != 0) {
        char reason[128] = "";
        // The GNU strerror_r returns its text, which may not be in reason.
        const char *why = strerror_r(osError, reason, sizeof reason);
        snprintf(message, size, "%s: %s", text, why);
    } else {
        snprintf(message, size, "%s", text);
    }
}

// Steps over the icon: a regular file is checked to hold it and the stream
// moved past it without reading; anything else is read and dropped.
int32_t skipIcon(FILE *file, uint64_t total, int64_t *firstBlock)
{
    struct stat info;
    const off_t at = ftello(file);
    if (at >= 0 && fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        if (total > uint64_t(info.st_size) || uint64_t(at) > uint64_t(info.st_size) - total)
            return 4;
        if (fseeko(file, off_t(uint64_t(at) + total), SEEK_SET) != 0)
            return 4;
        *firstBlock = int64_t(uint64_t(at) + total);
        return 0;
    }
    unsigned char scratch[4096];
    uint64_t left = total;
    while (left > 0) {
        const size_t want = left < sizeof scratch ? size_t(left) : sizeof scratch;
        const size_t got = fread(scratch, 1, want, file);
        left -= got;
        if (got < want)
            return 4;
    }
    const off_t end = ftello(file);
    *firstBlock = end >= 0 ? int64_t(end) : -1;
    return 0;
}

} // namespace

extern "C" FILE *readVrdHeader(FILE *file, VrdHeader *h, int32_t *iconWidth, int32_t *iconHeight,
                               int32_t *isColor)
{
    probeNumberFormat();
    const int32_t error = parseHeader(file, h, iconWidth, iconHeight, isColor);
    if (error == kCommentAllocation) {
        fprintf(stderr, "vrdAddHdrComment: Allocation Error\n");
        exit(1);
    }
    return error == 0 ? file : refuse(error);
}

extern "C" FILE *vrdReadPrologue(FILE *file, VrdHeader *h)
{
    int32_t width = 0, height = 0, isColor = 0;
    if (readVrdHeader(file, h, &width, &height, &isColor) == nullptr)
        return nullptr;
    if (width < 0 || height < 0)
        return refuse(4);

    const uint64_t bytesPerPixel = isColor == 1 ? 3 : 1;
    const uint64_t total = bytesPerPixel * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    // The icon is dropped piece by piece, so it costs no memory; but an icon
    // larger than any object can be is refused as the allocation it would be.
    if (total > uint64_t(PTRDIFF_MAX))
        return refuse(14);
    if (total == 0)
        return file;

    const size_t chunk = total < kIconChunk ? static_cast<size_t>(total) : kIconChunk;
    unsigned char *scratch = static_cast<unsigned char *>(calloc(chunk, 1));
    if (scratch == nullptr)
        return refuse(14);
    uint64_t left = total;
    while (left > 0) {
        const size_t want = left < chunk ? static_cast<size_t>(left) : chunk;
        const size_t got = fread(scratch, 1, want, file);
        left -= got;
        if (got < want)
            break;
    }
    free(scratch);
    return left == 0 ? file : refuse(4);
}

extern "C" FILE *vrdOpenRead(const char *path, VrdHeader *h)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return refuse(1);
    if (vrdReadPrologue(file, h) == nullptr) {
        fclose(file);
        return nullptr;
    }
    return file;
}

extern "C" void vrdFreeHeader(VrdHeader *h)
{
    if (h == nullptr)
        return;
    free(h->rx);
    free(h->ry);
    free(h->rz);
    if (h->comments != nullptr)
        for (int32_t i = 0; i < h->commentCount; ++i)
            free(h->comments[i]);
    free(h->comments);
    if (h->tfdata != nullptr)
        for (int64_t i = 0; i < int64_t{h->tfnum} * 5; ++i)
            free(h->tfdata[i]);
    free(h->tfdata);
    vrdClearHeader(h);
}

extern "C" int32_t vrdReadPrologueR(FILE *file, VrdHeader *h, VrdPrologue *prologue, char *message,
                                    size_t messageSize)
{
    VrdPrologue found{};
    found.firstBlock = -1;
    int32_t error = 0;
    {
        const vrdpriv::CLocale c;
        *h = VrdHeader{};
        error = parseHeader(file, h, &found.iconWidth, &found.iconHeight, &found.isColor);
    }
    if (error == 0 && (found.iconWidth < 0 || found.iconHeight < 0))
        error = 4;
    if (error == 0) {
        const uint64_t total = uint64_t(found.isColor == 1 ? 3 : 1) * uint64_t(found.iconWidth) *
                               uint64_t(found.iconHeight);
        error = total > uint64_t(PTRDIFF_MAX) ? 14 : skipIcon(file, total, &found.firstBlock);
    }
    if (error != 0)
        vrdFreeHeader(h);
    setMessage(message, messageSize, error, 0);
    if (prologue != nullptr)
        *prologue = found;
    return error;
}

extern "C" int32_t vrdOpenReadR(const char *path, VrdHeader *h, VrdPrologue *prologue, FILE **file, char *message,
                                size_t messageSize)
{
    *file = nullptr;
    FILE *opened = fopen(path, "rbe");
    if (opened == nullptr) {
        const int why = errno;
        *h = VrdHeader{};
        if (prologue != nullptr) {
            *prologue = VrdPrologue{};
            prologue->firstBlock = -1;
            prologue->osError = why;
        }
        setMessage(message, messageSize, 1, why);
        return 1;
    }
    const int32_t error = vrdReadPrologueR(opened, h, prologue, message, messageSize);
    if (error != 0)
        fclose(opened);
    else
        *file = opened;
    return error;
}
