// The slice engine. One slice goes through four steps, which the plain loop
// runs one after the other and a parallel run spreads over threads:
//
//   read     (reader thread)  the inputs' blocks, in file order: raw payloads
//                             straight into the slice, zlib payloads into the
//                             slot's payload buffer;
//   decode   (a worker)       inflate, byte order, compute, deflate;
//   finish   (writer)         a slice whose block did not fill it keeps the
//                             rest of the slice before, which only the writer
//                             has in order: it completes such slices itself;
//   write    (writer)         messages, fatal faults, the ordered callback,
//                             the output block, in slice order.
//
// Everything a slice shows (messages, damage, a fatal end) takes effect only
// in the write step, so a parallel run shows exactly what the plain loop shows.
#include "vrd/engine.h"

#include "vrd/codec_internal.h"
#include "vrd/progress_internal.h"
#include "vrd/reason_internal.h"
#include "vrd/slice.h"
#include "vrd/writer.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Workers need little stack of their own; a small one keeps the threads
// cheap under an address-space limit.
constexpr size_t kThreadStack = size_t{1} << 20;
constexpr size_t kGuard = 4096; // a page below each stack that no thread may touch
constexpr int32_t kMaxThreads = 256;
constexpr int32_t kMaxSlots = 512;

// A bounded output (vrdEngineBoundOutput) writes at most this many times the
// block bytes read, the most deflate can shrink data by, plus the allowance.
constexpr uint64_t kMostExpansion = 1032;
constexpr uint64_t kOutputAllowance = uint64_t{1} << 20;

// Slices whose work (see sliceWork) is below this are not worth handing to
// other threads: the hand-over (a few locks and wake-ups, about 15 us) would
// cost more than the threads gain, so the engine runs the plain loop.
constexpr uint64_t kLeastSharedWork = uint64_t{256} << 10;

template <class T>
T *allocate(size_t n)
{
    return static_cast<T *>(calloc(n > 0 ? n : 1, sizeof(T)));
}

// Slices and blocks are mapped, so that a set-up that falls back to fewer
// threads has the memory of its first try back.
unsigned char *buffer(uint64_t bytes)
{
    return bytes <= SIZE_MAX ? static_cast<unsigned char *>(vrdpriv::mapBuffer(size_t(bytes))) : nullptr;
}

// One input's block of one slice.
struct Part {
    unsigned char *payload = nullptr; // a zlib block's payload as read
    size_t capacity = 0;
    uint64_t arrived = 0;
    bool pending = false; // payload waits to be decoded
    bool tail = false;    // the block did not fill the slice
};

// One slice in flight.
struct Slot {
    enum State { Free, Loaded, Done };
    State state = Free;
    int32_t z = -1;
    Part *parts = nullptr;
    VrdBlockResult *blocks = nullptr; // what reading each input's block gave
    void **slices = nullptr;
    void *out = nullptr;
    unsigned char *deflated = nullptr;
    size_t deflatedCapacity = 0;
    uint32_t deflatedLength = 0;
    void *scratch = nullptr;
    VrdBlockResult deflateFault{};
    int32_t lastPart = 0;  // blocks up to this one count; the rest were not reached
    bool stops = false;    // the block lastPart ends the run
    bool computed = false; // false: the writer finishes the slice
    bool ended = false;    // the reader stopped at this slice (a length field ended)
    bool shares = false;   // buffers other than slices belong to slot 0
};

} // namespace

struct VrdEngine {
    VrdEngineSetup setup{};
    VrdEngineInput *inputs = nullptr;
    int32_t nz = 0, count = 0;
    uint64_t *sliceBytes = nullptr;
    uint64_t outBytes = 0;
    int32_t voxelSize = 0; // of the output

    int32_t threads = 1;
    int32_t workers = 0; // worker indexes set up through setup.worker
    Slot *slots = nullptr;
    int32_t slotCount = 0;
    VrdCodec **codecs = nullptr; // one per worker index
    VrdCodec *readerCodec = nullptr;
    int32_t codecCount = 0;

    pthread_t *ids = nullptr;
    void **stacks = nullptr; // of the threads started
    int32_t started = 0;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t slotFreed = PTHREAD_COND_INITIALIZER, sliceLoaded = PTHREAD_COND_INITIALIZER,
                   sliceDone = PTHREAD_COND_INITIALIZER;
    int32_t *queue = nullptr; // loaded slots waiting for a worker, a ring
    int32_t queueHead = 0, queueSize = 0;
    int32_t nextWorker = 0;
    bool go = false, stopping = false;

    int64_t *damaged = nullptr; // per input, then the output
    FILE *output = nullptr;
    // Once a block cannot be written whole (a full disk) or would pass the
    // output's bound, no more blocks are written or deflated: the run's
    // output is lost anyway, and its message is said once.
    std::atomic<bool> outputFailed{false};
    uint64_t inputBlockBytes = 0;  // length fields and payloads read, up to the slice written
    uint64_t outputBlockBytes = 0; // the same, written

    // The middle output slice, kept for the icon's preview.
    unsigned char *preview = nullptr;
    bool previewKept = false;
    int64_t blocksStart = -1; // where the output's first block goes
    vrdpriv::Progress progress;
};

namespace {

using vrdpriv::reason;

bool isZlibFile(const VrdEngineInput &in)
{
    return in.source == nullptr && in.header->compression == vrdCompZlib;
}

bool zlibOutput(const VrdEngine *e)
{
    return e->setup.outputDtype != 0 && e->setup.outputCompression == vrdCompZlib;
}

// Without compute the output slice is input 0's slice itself: a copy costs
// as much as reading a raw block, and a conversion would pay for it twice.
bool passesThrough(const VrdEngine *e)
{
    return e->setup.outputDtype != 0 && e->setup.compute == nullptr;
}

void *outputSlice(const VrdEngine *e, const Slot &s)
{
    return passesThrough(e) ? s.slices[0] : s.out;
}

// ---- buffers

// Whether input k's slices are the caller's memory rather than the engine's.
bool callersSlices(const VrdEngine *e, int32_t k)
{
    return k == 0 && e->setup.sliceAt != nullptr;
}

void releaseSlot(const VrdEngine *e, Slot &s)
{
    if (s.slices != nullptr)
        for (int32_t k = 0; k < e->setup.inputCount; ++k)
            if (!callersSlices(e, k) && (!s.shares || isZlibFile(e->inputs[k])))
                vrdpriv::unmapBuffer(s.slices[k]);
    free(s.slices);
    if (!s.shares) {
        if (s.parts != nullptr)
            for (int32_t k = 0; k < e->setup.inputCount; ++k)
                vrdpriv::unmapBuffer(s.parts[k].payload);
        vrdpriv::unmapBuffer(s.out);
        vrdpriv::unmapBuffer(s.deflated);
        vrdpriv::unmapBuffer(s.scratch);
    }
    free(s.parts);
    free(s.blocks);
    s = Slot{};
}

// The buffers of one slot; a slot that shares takes all but its slices from
// `owner`. False when memory runs out.
bool setUpSlot(const VrdEngine *e, Slot &s, const Slot *owner)
{
    const int32_t n = e->setup.inputCount;
    s.parts = allocate<Part>(size_t(n));
    s.slices = allocate<void *>(size_t(n));
    s.blocks = allocate<VrdBlockResult>(size_t(n));
    if (s.parts == nullptr || s.slices == nullptr || s.blocks == nullptr)
        return false;
    s.shares = owner != nullptr;
    for (int32_t k = 0; k < n; ++k) {
        s.parts[k] = Part{};
        // A decoder may write past what a damaged block fills, so a zlib
        // input keeps the slice before in a buffer of its own; a raw read
        // stores only what arrives, and the plain loop shares one buffer.
        if (callersSlices(e, k))
            s.slices[k] = nullptr; // set for every slice as it is read
        else if (s.shares && !isZlibFile(e->inputs[k]))
            s.slices[k] = owner->slices[k];
        else if ((s.slices[k] = buffer(e->sliceBytes[k])) == nullptr)
            return false;
    }
    if (owner != nullptr) {
        for (int32_t k = 0; k < n; ++k) {
            s.parts[k].payload = owner->parts[k].payload;
            s.parts[k].capacity = owner->parts[k].capacity;
        }
        s.out = owner->out, s.deflated = owner->deflated, s.deflatedCapacity = owner->deflatedCapacity;
        s.scratch = owner->scratch;
        return true;
    }
    for (int32_t k = 0; k < n; ++k) {
        if (!isZlibFile(e->inputs[k]))
            continue;
        s.parts[k].capacity = size_t(vrdDeflateCapacity(uint32_t(e->sliceBytes[k])));
        s.parts[k].payload = buffer(s.parts[k].capacity);
        if (s.parts[k].payload == nullptr)
            return false;
    }
    if (e->setup.outputDtype != 0 && !passesThrough(e) && (s.out = buffer(e->outBytes)) == nullptr)
        return false;
    if (zlibOutput(e)) {
        s.deflatedCapacity = size_t(std::min<uint64_t>(vrdDeflateBound(e->codecs[0], uint32_t(e->outBytes)), SIZE_MAX));
        if ((s.deflated = buffer(s.deflatedCapacity)) == nullptr)
            return false;
    }
    return e->setup.scratchBytes == 0 || (s.scratch = buffer(e->setup.scratchBytes)) != nullptr;
}

// About what one slice costs to decode, compute and encode, in bytes of
// memory traffic: inflating and deflating cost many times a copy.
uint64_t sliceWork(const VrdEngine *e)
{
    uint64_t work = 0;
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        work += e->sliceBytes[k] * (isZlibFile(e->inputs[k]) ? 4 : 1);
    if (e->setup.outputDtype != 0)
        work += e->outBytes * (zlibOutput(e) ? 16 : passesThrough(e) ? 0 : 1);
    return work;
}

// About what one slot holds: the inputs' slices and zlib payloads, the
// output slice and its deflated block, the scratch.
uint64_t slotBytes(const VrdEngine *e)
{
    uint64_t bytes = e->setup.scratchBytes;
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        bytes += e->sliceBytes[k] * (isZlibFile(e->inputs[k]) ? 2 : 1);
    if (e->setup.outputDtype != 0)
        bytes += e->outBytes * ((zlibOutput(e) ? 1 : 0) + (passesThrough(e) ? 0 : 1));
    return std::max<uint64_t>(bytes, 1);
}

// ---- the four steps

// Reads slice z of every input into the slot. After a length field that
// ends early nothing more is read: the run ends at this block.
void readSlot(VrdEngine *e, Slot &s, VrdCodec *streamCodec)
{
    s.ended = false;
    for (int32_t k = 0; k < e->setup.inputCount; ++k) {
        const VrdEngineInput &in = e->inputs[k];
        Part &p = s.parts[k];
        VrdBlockResult &b = s.blocks[k];
        p.pending = false;
        p.arrived = 0;
        if (in.source != nullptr) {
            b = VrdBlockResult{};
            in.source(e->setup.user, s.z, s.slices[k], &b);
            b.filled = e->sliceBytes[k]; // a source fills its slice
            continue;
        }
        if (callersSlices(e, k))
            s.slices[k] = e->setup.sliceAt(e->setup.user, s.z);
        if (k == 0 && e->setup.blockOffsets != nullptr &&
            fseeko(in.file, off_t(e->setup.blockOffsets[s.z]), SEEK_SET) != 0) {
            b = VrdBlockResult{};
            snprintf(b.message, sizeof b.message, "cannot reach the block of slice %d\n", s.z);
            b.outcome = vrdBlockFatal, b.exitStatus = 1, b.lengthEnded = 1;
            p.pending = false;
            s.ended = true;
            for (int32_t j = k + 1; j < e->setup.inputCount; ++j)
                s.blocks[j] = VrdBlockResult{};
            return;
        }
        const int read = vrdpriv::readForLater(in.file, streamCodec, s.slices[k], e->sliceBytes[k],
                                               in.header->compression, p.payload, p.capacity, &p.arrived, &b);
        p.pending = read == vrdpriv::kPayload;
        if (read == vrdpriv::kEnded) {
            s.ended = true;
            for (int32_t j = k + 1; j < e->setup.inputCount; ++j)
                s.blocks[j] = VrdBlockResult{};
            return;
        }
    }
}

// Reverses the items of a filled slice into this machine's order.
void putInOrder(const VrdEngine *e, int32_t k, void *slice)
{
    const VrdHeader &h = *e->inputs[k].header;
    if (e->inputs[k].source == nullptr && h.endian != vrdLittleEndian)
        vrdSwapItems(slice, vrdVoxelSize(h.dtype), e->count);
}

void computeSlot(VrdEngine *e, Slot &s, int32_t worker, VrdCodec *codec)
{
    if (e->setup.compute != nullptr)
        e->setup.compute(e->setup.user, worker, s.z, s.slices, s.out, e->count, s.scratch);
    s.deflateFault = VrdBlockResult{};
    s.deflatedLength = 0;
    if (zlibOutput(e) && !e->outputFailed.load(std::memory_order_relaxed))
        vrdDeflateSlice(codec, outputSlice(e, s), uint32_t(e->outBytes), s.deflated, s.deflatedCapacity, &s.deflatedLength,
                        &s.deflateFault);
    s.computed = true;
}

bool keepsGoing(const VrdEngine *e)
{
    return (e->setup.flags & vrdEngineKeepGoing) != 0;
}

// Everything of a slice that does not depend on the slice before it.
void decodeSlot(VrdEngine *e, Slot &s, int32_t worker, VrdCodec *codec)
{
    s.computed = s.stops = false;
    s.lastPart = e->setup.inputCount - 1;
    bool tails = false;
    for (int32_t k = 0; k < e->setup.inputCount; ++k) {
        Part &p = s.parts[k];
        VrdBlockResult &b = s.blocks[k];
        if (p.pending)
            vrdDecodeBlock(codec, b.length, p.payload, p.arrived, s.slices[k], vrdLittleEndian,
                           vrdVoxelSize(e->inputs[k].header->dtype), e->count, vrdCompZlib, &b);
        if (b.lengthEnded != 0 || (b.outcome == vrdBlockFatal && !keepsGoing(e))) {
            s.lastPart = k;
            s.stops = true;
            return;
        }
        p.tail = b.filled < e->sliceBytes[k];
        // A zlib block shorter than the least a slice deflates to cannot
        // hold its slice: what it inflates to is dropped, and the slice is
        // the slice before, whose output block is then reused. Otherwise a
        // file of tiny blocks that each change a byte of a huge slice would
        // cost a whole slice's compute and deflate per block.
        if (p.tail && isZlibFile(e->inputs[k]) && b.length < e->sliceBytes[k] / kMostExpansion)
            b.filled = 0;
        tails = tails || p.tail;
        if (!p.tail)
            putInOrder(e, k, s.slices[k]);
    }
    if (!tails)
        computeSlot(e, s, worker, codec);
}

// Completes a slice whose blocks did not fill it: the rest holds what the
// slice before held (zeros before the first), as in the plain loop, where
// one buffer serves every slice.
void finishSlot(VrdEngine *e, Slot &s, const Slot *previous, int32_t worker, VrdCodec *codec)
{
    for (int32_t k = 0; k < e->setup.inputCount; ++k) {
        if (!s.parts[k].tail)
            continue;
        unsigned char *bytes = static_cast<unsigned char *>(s.slices[k]);
        const size_t from = size_t(s.blocks[k].filled), size = size_t(e->sliceBytes[k]);
        if (previous != nullptr && previous->slices[k] != bytes)
            memcpy(bytes + from, static_cast<const unsigned char *>(previous->slices[k]) + from, size - from);
        else if (previous == nullptr)
            memset(bytes + from, 0, size - from);
        putInOrder(e, k, bytes);
    }
    computeSlot(e, s, worker, codec);
}

void say(VrdEngine *e, const char *text)
{
    if (text[0] != '\0' && !(e->setup.flags & vrdEngineQuiet)) {
        vrdpriv::clearProgress(e->progress, stderr);
        fputs(text, stderr);
    }
}

void stopThreads(VrdEngine *e);

// A slice none of whose blocks gave a byte is the slice before, input for
// input (for little-endian or one-byte values; others are reversed again). When compute depends on the inputs alone (vrdEngineRepeats), its
// output, scratch and block are those of the slice before as well: they are
// taken over (buffers swapped, so nothing is copied) instead of being
// computed and deflated again, so that a file of many empty or cut blocks
// costs what its blocks hold, not a slice's work each.
bool repeatsPrevious(const VrdEngine *e, const Slot &s, const Slot *previous)
{
    if ((e->setup.flags & vrdEngineRepeats) == 0 || previous == nullptr || s.stops || s.computed ||
        !previous->computed)
        return false;
    for (int32_t k = 0; k < e->setup.inputCount; ++k) {
        // The slice before is put in this machine's order again, as the
        // one-thread read does: only where that changes nothing is it a repeat.
        const VrdHeader &h = *e->inputs[k].header;
        if (!s.parts[k].tail || s.blocks[k].filled != 0 || e->inputs[k].source != nullptr ||
            (h.endian != vrdLittleEndian && vrdVoxelSize(h.dtype) > 1))
            return false;
    }
    return true;
}

void takeOver(const VrdEngine *e, Slot &s, Slot &previous)
{
    // In the plain loop the two slots share all but zlib inputs' slices, so
    // most of these swaps exchange a buffer with itself.
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        std::swap(s.slices[k], previous.slices[k]);
    std::swap(s.out, previous.out);
    std::swap(s.deflated, previous.deflated);
    std::swap(s.scratch, previous.scratch);
    s.deflatedLength = previous.deflatedLength;
    s.deflateFault = previous.deflateFault;
    s.computed = true;
}

// The slices not written from slice z on: counted once, said once.
void outputFails(VrdEngine *e, int32_t z, const char *message)
{
    say(e, message);
    e->damaged[e->setup.inputCount] += e->nz - z;
    e->outputFailed.store(true, std::memory_order_relaxed);
}

// What a slice shows, in slice order. Returns false when the run ends here.
bool writeSlot(VrdEngine *e, Slot &s, const Slot *previous)
{
    if (repeatsPrevious(e, s, previous))
        takeOver(e, s, *const_cast<Slot *>(previous));
    else if (!s.stops && !s.computed)
        finishSlot(e, s, previous, e->codecCount - 1, e->codecs[e->codecCount - 1]);
    for (int32_t k = 0; k <= s.lastPart; ++k) {
        say(e, s.blocks[k].message);
        if (s.blocks[k].outcome != vrdBlockWhole && !(s.stops && k == s.lastPart))
            ++e->damaged[k];
    }
    const VrdBlockResult *fatal = s.stops ? &s.blocks[s.lastPart] : nullptr;
    if (!s.stops && s.deflateFault.outcome == vrdBlockFatal) {
        say(e, s.deflateFault.message);
        fatal = &s.deflateFault;
    }
    if (fatal != nullptr && (!keepsGoing(e) || fatal == &s.deflateFault)) {
        stopThreads(e);
        exit(fatal->exitStatus);
    }
    if (s.stops && s.scratch != nullptr) // nothing computed it
        memset(s.scratch, 0, e->setup.scratchBytes);
    if (e->setup.ordered != nullptr)
        e->setup.ordered(e->setup.user, s.z, s.slices, s.blocks, outputSlice(e, s), s.scratch);
    if (s.stops)
        return false;
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        if (e->inputs[k].source == nullptr)
            e->inputBlockBytes += 4 + std::min<uint64_t>(s.blocks[k].length, std::max(s.parts[k].arrived, s.blocks[k].filled));
    if (e->output != nullptr && e->setup.outputDtype != 0 && !e->outputFailed.load(std::memory_order_relaxed)) {
        VrdBlockResult w{};
        const bool zlib = zlibOutput(e);
        const uint32_t length = zlib ? s.deflatedLength : uint32_t(e->outBytes);
        e->outputBlockBytes += 4 + uint64_t(length);
        if ((e->setup.flags & vrdEngineBoundOutput) != 0 &&
            e->outputBlockBytes > kMostExpansion * e->inputBlockBytes + kOutputAllowance) {
            char text[200];
            snprintf(text, sizeof text,
                     "vrdEngine: the output would pass %llu bytes at slice %d, %d times the %llu block bytes read;"
                     " its blocks hold too little for their slices\n",
                     static_cast<unsigned long long>(kMostExpansion * e->inputBlockBytes + kOutputAllowance), s.z,
                     int(kMostExpansion), static_cast<unsigned long long>(e->inputBlockBytes));
            outputFails(e, s.z, text);
        } else {
            vrdWriteBlock(e->output, zlib ? s.deflated : outputSlice(e, s), length, e->setup.outputCompression, &w);
            if (w.outcome != vrdBlockWhole)
                outputFails(e, s.z, w.message);
            else
                say(e, w.message);
        }
        if (e->preview != nullptr && s.z == e->nz / 2) {
            memcpy(e->preview, outputSlice(e, s), size_t(e->outBytes));
            e->previewKept = true;
        }
    }
    // An output that failed is lost: the run ends here, with no more work.
    return !e->outputFailed.load(std::memory_order_relaxed);
}

// ---- the run's beginning and end

void beginRun(VrdEngine *e, FILE *output)
{
    e->output = output;
    e->outputFailed = false;
    e->inputBlockBytes = e->outputBlockBytes = 0;
    e->previewKept = false;
    e->blocksStart = -1;
    if (e->preview != nullptr && output != nullptr && fflush(output) == 0)
        e->blocksStart = ftello(output);
    uint64_t sliceBytes = 0;
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        sliceBytes += e->sliceBytes[k];
    vrdpriv::startProgress(e->progress, (e->setup.flags & vrdEngineProgress) != 0, e->nz, sliceBytes, stderr);
}

// The icon sits right before the first block. It is rewritten only in a file
// that can be repositioned and is not appended to (where every write would
// land at the end), and only after a run that wrote every block.
void endRun(VrdEngine *e, int32_t done)
{
    vrdpriv::clearProgress(e->progress, stderr);
    if (!e->previewKept || done != e->nz || e->blocksStart < 0)
        return;
    struct stat info;
    const int fd = fileno(e->output);
    const int mode = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || mode < 0 || (mode & O_APPEND) != 0)
        return;
    const VrdHeader &h = *e->inputs[0].header;
    const int64_t iconOffset = e->blocksStart - int64_t(e->count);
    if (iconOffset >= 0)
        vrdWritePreview(e->output, iconOffset, e->preview, e->setup.outputDtype, h.nx, h.ny);
}

// ---- threads

void *readerThread(void *arg)
{
    VrdEngine *e = static_cast<VrdEngine *>(arg);
    pthread_mutex_lock(&e->lock);
    while (!e->go && !e->stopping)
        pthread_cond_wait(&e->sliceLoaded, &e->lock);
    pthread_mutex_unlock(&e->lock);
    for (int32_t z = 0; z < e->nz; ++z) {
        Slot &s = e->slots[z % e->slotCount];
        pthread_mutex_lock(&e->lock);
        while (!e->stopping && s.state != Slot::Free)
            pthread_cond_wait(&e->slotFreed, &e->lock);
        const bool stop = e->stopping;
        pthread_mutex_unlock(&e->lock);
        if (stop)
            return nullptr;
        s.z = z;
        readSlot(e, s, e->readerCodec);
        pthread_mutex_lock(&e->lock);
        s.state = Slot::Loaded;
        e->queue[(e->queueHead + e->queueSize++) % e->slotCount] = int32_t(&s - e->slots);
        pthread_cond_broadcast(&e->sliceLoaded);
        pthread_mutex_unlock(&e->lock);
        if (s.ended)
            break;
    }
    return nullptr;
}

void *workerThread(void *arg)
{
    VrdEngine *e = static_cast<VrdEngine *>(arg);
    pthread_mutex_lock(&e->lock);
    const int32_t worker = e->nextWorker++;
    pthread_mutex_unlock(&e->lock);
    for (;;) {
        pthread_mutex_lock(&e->lock);
        while (!e->stopping && (!e->go || e->queueSize == 0))
            pthread_cond_wait(&e->sliceLoaded, &e->lock);
        if (e->stopping) {
            pthread_mutex_unlock(&e->lock);
            return nullptr;
        }
        Slot &s = e->slots[e->queue[e->queueHead]];
        e->queueHead = (e->queueHead + 1) % e->slotCount;
        --e->queueSize;
        pthread_mutex_unlock(&e->lock);

        decodeSlot(e, s, worker, e->codecs[worker]);

        pthread_mutex_lock(&e->lock);
        s.state = Slot::Done;
        pthread_cond_broadcast(&e->sliceDone);
        pthread_mutex_unlock(&e->lock);
    }
}

void stopThreads(VrdEngine *e)
{
    pthread_mutex_lock(&e->lock);
    e->stopping = true;
    pthread_cond_broadcast(&e->slotFreed);
    pthread_cond_broadcast(&e->sliceLoaded);
    pthread_mutex_unlock(&e->lock);
    for (int32_t i = 0; i < e->started; ++i) {
        pthread_join(e->ids[i], nullptr);
        munmap(e->stacks[i], kThreadStack + kGuard);
    }
    e->started = 0;
}

bool startThread(VrdEngine *e, void *(*body)(void *))
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    // A stack of the engine's own, unmapped when the thread is joined: the C
    // library would keep the stacks of ended threads for later ones, and a
    // set-up that falls back to fewer threads needs that memory back.
    void *stack = mmap(nullptr, kThreadStack + kGuard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    bool ok = stack != MAP_FAILED && mprotect(stack, kGuard, PROT_NONE) == 0 &&
              pthread_attr_setstack(&attr, static_cast<char *>(stack) + kGuard, kThreadStack) == 0;
    ok = ok && pthread_create(&e->ids[e->started], &attr, body, e) == 0;
    pthread_attr_destroy(&attr);
    if (ok)
        e->stacks[e->started++] = stack;
    else if (stack != MAP_FAILED)
        munmap(stack, kThreadStack + kGuard);
    return ok;
}

// ---- set-up

// Releases what setUp made, so that it can try again with fewer threads.
void tearDown(VrdEngine *e)
{
    stopThreads(e);
    free(e->ids);
    e->ids = nullptr;
    free(e->stacks);
    e->stacks = nullptr;
    if (e->slots != nullptr)
        for (int32_t i = e->slotCount - 1; i >= 0; --i) // sharing slots before their owner
            releaseSlot(e, e->slots[i]);
    free(e->slots);
    e->slots = nullptr;
    e->slotCount = 0;
    free(e->queue);
    e->queue = nullptr;
    if (e->codecCount > 1)
        vrdCodecFree(e->readerCodec); // the plain loop reads with its one codec
    e->readerCodec = nullptr;
    if (e->codecs != nullptr)
        for (int32_t i = 0; i < e->codecCount; ++i)
            vrdCodecFree(e->codecs[i]);
    free(e->codecs);
    e->codecs = nullptr;
    e->codecCount = 0;
    if (e->setup.worker != nullptr)
        for (int32_t i = e->workers - 1; i >= 0; --i)
            e->setup.worker(e->setup.user, i, 0);
    e->workers = 0;
    e->stopping = e->go = false;
    e->queueHead = e->queueSize = e->nextWorker = 0;
}

// Everything a run with `threads` threads needs (1: the plain loop, whose
// two slots share all but the slices of zlib inputs). False when any of it
// cannot be had.
bool setUp(VrdEngine *e, int32_t threads, int32_t slots)
{
    e->threads = threads;
    bool anyZlib = false;
    for (int32_t k = 0; k < e->setup.inputCount; ++k)
        anyZlib = anyZlib || isZlibFile(e->inputs[k]);
    const int32_t uses = (anyZlib ? vrdCodecInflate : 0) | (zlibOutput(e) ? vrdCodecDeflate : 0) |
                         (threads == 1 && anyZlib ? vrdCodecStream : 0);

    // Worker indexes: one per worker thread and the writer's.
    e->codecCount = threads == 1 ? 1 : threads + 1;
    e->codecs = allocate<VrdCodec *>(size_t(e->codecCount));
    if (e->codecs == nullptr)
        return false;
    for (int32_t i = 0; i < e->codecCount; ++i)
        if (uses != 0 && (e->codecs[i] = vrdCodecNew(uses, &e->setup.deflate)) == nullptr)
            return false;
    if (threads == 1)
        e->readerCodec = e->codecs[0];
    else if (anyZlib && (e->readerCodec = vrdCodecNew(vrdCodecStream, nullptr)) == nullptr)
        return false;
    for (; e->workers < e->codecCount; ++e->workers)
        if (e->setup.worker != nullptr && !e->setup.worker(e->setup.user, e->workers, 1))
            return false;

    e->slotCount = slots;
    e->slots = allocate<Slot>(size_t(slots));
    e->queue = allocate<int32_t>(size_t(slots));
    if (e->slots == nullptr || e->queue == nullptr)
        return false;
    for (int32_t i = 0; i < slots; ++i) {
        e->slots[i] = Slot{};
        if (!setUpSlot(e, e->slots[i], threads == 1 && i > 0 ? &e->slots[0] : nullptr))
            return false;
    }
    if (threads == 1)
        return true;
    e->ids = allocate<pthread_t>(size_t(threads) + 1);
    e->stacks = allocate<void *>(size_t(threads) + 1);
    if (e->ids == nullptr || e->stacks == nullptr || !startThread(e, readerThread))
        return false;
    for (int32_t i = 0; i < threads; ++i)
        if (!startThread(e, workerThread))
            return false;
    return true;
}

int32_t threadsFromEnvironment()
{
    if (const char *text = getenv("VRD_THREADS")) {
        char *end = nullptr;
        const long n = strtol(text, &end, 10);
        if (end != text && *end == '\0' && n >= 1 && n <= kMaxThreads)
            return int32_t(n);
    }
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores < 1 ? 1 : int32_t(std::min<long>(cores, kMaxThreads));
}

bool validSetup(const VrdEngineSetup *s, char *why, size_t whySize)
{
    if (s == nullptr || s->inputCount < 1 || s->inputs == nullptr) {
        reason(why, whySize, "no input");
        return false;
    }
    const VrdHeader *first = s->inputs[0].header;
    for (int32_t k = 0; k < s->inputCount; ++k) {
        const VrdEngineInput &in = s->inputs[k];
        const VrdHeader *h = in.header;
        if (h == nullptr || (in.source == nullptr && in.file == nullptr)) {
            reason(why, whySize, "input %d has no header or no stream", k);
            return false;
        }
        if (h->nx != first->nx || h->ny != first->ny || h->nz != first->nz) {
            reason(why, whySize, "the inputs differ in size");
            return false;
        }
        if (h->dtype < vrdUChar || h->dtype > vrdDouble ||
            (in.source == nullptr && h->compression != vrdCompZlib && h->compression != vrdCompNone)) {
            reason(why, whySize, "unknown voxel type or compression");
            return false;
        }
    }
    if (first->nx <= 0 || first->ny <= 0 || first->nz <= 0 || int64_t(first->nx) * first->ny > INT32_MAX) {
        reason(why, whySize, "incorrect volume dimensions %d x %d x %d", first->nx, first->ny, first->nz);
        return false;
    }
    if (s->outputDtype != 0 && (s->outputDtype < vrdUChar || s->outputDtype > vrdDouble ||
                                (s->outputCompression != vrdCompZlib && s->outputCompression != vrdCompNone))) {
        reason(why, whySize, "unknown output type or compression");
        return false;
    }
    if (s->outputDtype != 0 && s->compute == nullptr && s->outputDtype != first->dtype) {
        reason(why, whySize, "without compute the output is input 0's slices, so it must have input 0's type");
        return false;
    }
    if ((s->sliceAt != nullptr || s->blockOffsets != nullptr) && s->inputs[0].source != nullptr) {
        reason(why, whySize, "slices read into the caller's memory or by their place need a file");
        return false;
    }
    if (s->threads < 0 || s->threads > kMaxThreads) {
        reason(why, whySize, "thread count %d is not from 1 to %d", s->threads, kMaxThreads);
        return false;
    }
    return true;
}

// Every slice, in slice order; returns the number done.
int32_t runSlices(VrdEngine *e)
{
    int32_t done = 0;
    if (e->threads == 1) {
        const Slot *previous = nullptr;
        VrdCodec *codec = e->codecs[0];
        for (int32_t z = 0; z < e->nz; ++z) {
            Slot &s = e->slots[z % 2];
            s.z = z;
            readSlot(e, s, codec);
            decodeSlot(e, s, 0, codec);
            if (!writeSlot(e, s, previous))
                break;
            previous = &s;
            ++done;
            vrdpriv::showProgress(e->progress, done, stderr);
        }
        return done;
    }
    pthread_mutex_lock(&e->lock);
    e->go = true;
    pthread_cond_broadcast(&e->sliceLoaded);
    pthread_mutex_unlock(&e->lock);

    const Slot *previous = nullptr;
    for (int32_t z = 0; z < e->nz; ++z) {
        Slot &s = e->slots[z % e->slotCount];
        pthread_mutex_lock(&e->lock);
        while (!(s.state == Slot::Done && s.z == z))
            pthread_cond_wait(&e->sliceDone, &e->lock);
        pthread_mutex_unlock(&e->lock);
        const bool goesOn = writeSlot(e, s, previous);
        // The slice before stays untouched until this one is done, since a
        // slice that a block did not fill takes its bytes.
        pthread_mutex_lock(&e->lock);
        if (previous != nullptr) {
            const_cast<Slot *>(previous)->state = Slot::Free;
            pthread_cond_broadcast(&e->slotFreed);
        }
        pthread_mutex_unlock(&e->lock);
        if (!goesOn)
            break;
        previous = &s;
        ++done;
        vrdpriv::showProgress(e->progress, done, stderr);
    }
    stopThreads(e);
    return done;
}

} // namespace

extern "C" {

int32_t vrdDefaultThreads(void)
{
    return threadsFromEnvironment();
}

VrdEngine *vrdEngineNew(const VrdEngineSetup *setup, char *why, size_t whySize)
{
    if (!validSetup(setup, why, whySize))
        return nullptr;
    VrdCodec *probe = vrdCodecNew(0, &setup->deflate);
    if (probe == nullptr) {
        reason(why, whySize, "unknown deflate setting");
        return nullptr;
    }
    vrdCodecFree(probe);

    VrdEngine *e = allocate<VrdEngine>(1);
    const int32_t n = setup->inputCount;
    if (e != nullptr) {
        new (e) VrdEngine; // plain members only: sets the defaults
        e->setup = *setup;
        e->inputs = allocate<VrdEngineInput>(size_t(n));
        e->sliceBytes = allocate<uint64_t>(size_t(n));
        e->damaged = allocate<int64_t>(size_t(n) + 1);
    }
    if (e == nullptr || e->inputs == nullptr || e->sliceBytes == nullptr || e->damaged == nullptr) {
        reason(why, whySize, "cannot allocate the engine's state");
        vrdEngineFree(e);
        return nullptr;
    }
    const VrdHeader &first = *setup->inputs[0].header;
    e->nz = first.nz;
    e->count = first.nx * first.ny;
    bool blocksFit = true;
    for (int32_t k = 0; k < n; ++k) {
        e->inputs[k] = setup->inputs[k];
        e->sliceBytes[k] = uint64_t(vrdVoxelSize(e->inputs[k].header->dtype)) * uint64_t(e->count);
        blocksFit = blocksFit && e->sliceBytes[k] <= UINT32_MAX;
    }
    if (setup->outputDtype != 0) {
        e->voxelSize = vrdVoxelSize(setup->outputDtype);
        e->outBytes = uint64_t(e->voxelSize) * uint64_t(e->count);
        blocksFit = blocksFit && e->outBytes <= UINT32_MAX;
    }
    if (!blocksFit || (sizeof(size_t) < 8 && slotBytes(e) > SIZE_MAX / 4)) {
        reason(why, whySize, "slices of %d x %d voxels are too large for a block", first.nx, first.ny);
        vrdEngineFree(e);
        return nullptr;
    }

    // Had first, so that a run keeps its preview, or goes without it (a blank
    // icon), whatever number of threads it ends up with.
    if ((setup->flags & vrdEnginePreview) != 0 && setup->outputDtype != 0)
        e->preview = buffer(e->outBytes);

    // Two slices in flight per worker keep every worker busy while the
    // reader and the writer wait on the files; the slices in flight never
    // take more than half the machine's memory.
    int32_t threads = setup->threads > 0 ? setup->threads : threadsFromEnvironment();
    // Thin slices run faster in the plain loop than handed between threads;
    // a thread count that was asked for is kept.
    if (setup->threads == 0 && getenv("VRD_THREADS") == nullptr && sliceWork(e) < kLeastSharedWork)
        threads = 1;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t budget = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) / 2 : UINT64_MAX;
    const uint64_t fitting = std::min<uint64_t>(budget / slotBytes(e), kMaxSlots);
    for (; threads > 1; --threads) {
        const int32_t slots = int32_t(std::min<uint64_t>({uint64_t(2) * uint64_t(threads), uint64_t(e->nz), fitting}));
        if (slots < 3) // the slice before, the one being written and one more at least
            continue;
        if (setUp(e, threads, slots))
            return e;
        tearDown(e); // too little memory for so many: fewer threads
    }
    if (setUp(e, 1, 2))
        return e;
    tearDown(e);
    reason(why, whySize, "cannot allocate %llu bytes for a slice", static_cast<unsigned long long>(slotBytes(e)));
    vrdEngineFree(e);
    return nullptr;
}

int32_t vrdEngineRun(VrdEngine *e, FILE *output)
{
    beginRun(e, output);
    const int32_t done = runSlices(e);
    endRun(e, done);
    return done;
}

int64_t vrdEngineDamaged(const VrdEngine *e, int32_t k)
{
    if (k == -1)
        k = e->setup.inputCount;
    return k >= 0 && k <= e->setup.inputCount ? e->damaged[k] : 0;
}

int32_t vrdEngineThreads(const VrdEngine *e)
{
    return e->threads;
}

int32_t vrdEngineWorkers(const VrdEngine *e)
{
    return e->codecCount;
}

void vrdEngineFree(VrdEngine *e)
{
    if (e == nullptr)
        return;
    tearDown(e);
    free(e->inputs);
    free(e->sliceBytes);
    free(e->damaged);
    vrdpriv::unmapBuffer(e->preview);
    e->~VrdEngine();
    free(e);
}

} // extern "C"
