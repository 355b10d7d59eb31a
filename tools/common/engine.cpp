#include "engine.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace vrdtool {

namespace {

// A growable byte buffer that keeps its memory from slice to slice.
class Bytes {
public:
    ~Bytes() { free(data_); }
    unsigned char *data() { return data_; }
    // Makes room for size bytes, keeping what it holds; false when out of memory.
    bool reserve(size_t size)
    {
        if (size <= capacity_)
            return true;
        const size_t grown = std::max(size, capacity_ + capacity_ / 2);
        void *p = realloc(data_, grown);
        if (p == nullptr)
            return false;
        data_ = static_cast<unsigned char *>(p);
        capacity_ = grown;
        return true;
    }

private:
    unsigned char *data_ = nullptr;
    size_t capacity_ = 0;
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char text[160];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

constexpr size_t kReadChunk = size_t{1} << 20;

} // namespace

// One input's block of one slice, as the reader found it.
struct Part {
    Bytes payload;             // zlib payload bytes that arrived
    uint32_t length = 0;       // the block's length field
    uint64_t arrived = 0;      // payload bytes that arrived
    uint64_t filled = 0;       // slice bytes that this block set
    int missingLengthByte = 0; // 1..4: the length field ended there (fatal)
    bool whole = true;         // what the library's read would return
    bool tailPending = false;  // the slice keeps bytes of the one before
    std::string notes;         // messages of the read, in order
};

// One slice in flight: the inputs' blocks and slices, the output slice and
// its deflated block, and what the run must show for it.
struct Slot {
    enum State { Free, Loaded, Computed };
    State state = Free;
    int32_t z = -1;
    std::vector<Part> parts;
    std::vector<void *> slices;
    float *out = nullptr;
    Bytes deflated;
    uint64_t deflatedLength = 0;
    std::string notes;       // messages in the order the one-thread run writes them
    std::string fatal;       // the message that ends the run at this slice
    int fatalStatus = 0;
    bool computed = false;   // false: the writer finishes this slice itself

    ~Slot()
    {
        for (void *p : slices)
            free(p);
        free(out);
    }
};

int threadCount()
{
    if (const char *text = getenv("VRD_THREADS")) {
        char *end = nullptr;
        const long n = strtol(text, &end, 10);
        if (end != text && *end == '\0' && n >= 1 && n <= 256)
            return int(n);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(std::min(cores, 256u));
}

namespace {

// About what one slot holds at most: the inputs' slices, the payloads of
// their zlib blocks (about a slice each), the output slice and its deflated block.
uint64_t slotBytes(const std::vector<Input *> &inputs, int32_t count, bool deflating)
{
    uint64_t bytes = uint64_t(count) * (4 + (deflating ? 5 : 0));
    for (const Input *in : inputs)
        bytes += uint64_t(in->voxelSize) * uint64_t(count) * (in->header.compression == vrdCompZlib ? 2 : 1);
    return bytes;
}

// Allocates the buffers of one slot; false when memory runs out.
bool setUpSlot(Slot &slot, const std::vector<Input *> &inputs, int32_t count, bool deflating)
{
    slot.parts.resize(inputs.size());
    for (const Input *in : inputs) {
        slot.slices.push_back(calloc(size_t(in->voxelSize) * size_t(count), 1));
        if (slot.slices.back() == nullptr)
            return false;
    }
    slot.out = static_cast<float *>(calloc(size_t(count), sizeof(float)));
    if (slot.out == nullptr)
        return false;
    return !deflating || slot.deflated.reserve(size_t(vrdDeflateCapacity(uint32_t(count) * 4u)));
}

// The length field of a block; 0 in *missing when all four bytes arrived.
uint32_t readLength(FILE *file, int *missing)
{
    uint32_t value = 0;
    for (int n = 1; n <= 4; ++n) {
        const int byte = fgetc(file);
        if (byte == EOF) {
            *missing = n;
            return 0;
        }
        value = (value << 8) | uint32_t(byte);
    }
    *missing = 0;
    return value;
}

uint64_t skip(FILE *file, uint64_t length)
{
    unsigned char scratch[4096];
    uint64_t done = 0;
    while (done < length) {
        const size_t want = size_t(std::min<uint64_t>(length - done, sizeof scratch));
        const size_t got = fread(scratch, 1, want, file);
        done += got;
        if (got < want)
            break;
    }
    return done;
}

// Reads one block as ReadSliceDataN reads it, keeping its messages: a raw
// payload straight into the slice, a zlib payload into part.payload.
// Returns false when the length field ended early.
bool readPart(const Input &in, Part &part, void *slice, uint64_t sliceBytes)
{
    part.notes.clear();
    part.whole = true;
    part.tailPending = false;
    part.length = readLength(in.file, &part.missingLengthByte);
    if (part.missingLengthByte != 0)
        return false;
    const uint32_t length = part.length;
    if (in.header.compression == vrdCompNone) {
        const uint64_t stored = std::min<uint64_t>(length, sliceBytes);
        if (length != sliceBytes) {
            if (length > sliceBytes)
                part.notes += format("ReadSliceDataN: block of %d bytes for a slice of %d bytes\n", int32_t(length),
                                     int32_t(sliceBytes));
            part.whole = false;
        }
        uint64_t arrived = stored > 0 ? fread(slice, 1, size_t(stored), in.file) : 0;
        part.filled = arrived;
        if (arrived == stored && length > stored)
            arrived += skip(in.file, length - stored);
        if (arrived < length) {
            part.notes += format("ReadSliceDataN: read error (trying to read %d bytes of data)\n", int32_t(length));
            part.whole = false;
        }
        part.arrived = arrived;
        return true;
    }
    // zlib: the payload as far as the file has it; memory follows the bytes
    // that really arrive, not the length field.
    uint64_t arrived = 0;
    while (arrived < length) {
        const size_t want = size_t(std::min<uint64_t>(length - arrived, std::max<uint64_t>(kReadChunk, arrived)));
        if (!part.payload.reserve(size_t(arrived) + want))
            break; // treated as a short read
        const size_t got = fread(part.payload.data() + arrived, 1, want, in.file);
        arrived += got;
        if (got < want)
            break;
    }
    part.arrived = arrived;
    return true;
}

// Inflates a zlib part as ReadSliceDataZ does, keeping its messages. Returns
// false on the fatal uncompression error, whose message goes to *fatal.
bool inflatePart(Part &part, void *slice, uint32_t expected, std::string *fatal)
{
    if (part.arrived < part.length) {
        part.notes += format("ReadSliceDataZ: read error (trying to read %d bytes of data)\n", int32_t(part.length));
        part.whole = false;
    }
    uint32_t inflated = 0;
    const int32_t code = vrdInflateBlock(part.payload.data(), uint32_t(part.arrived), part.length, slice, expected,
                                         &inflated);
    if (code != Z_OK) {
        *fatal = format("ReadSliceDataZ: Uncompression Error (%d)\n", code);
        return false;
    }
    if (inflated != expected) {
        part.notes += format("ReadSliceDataZ: Incorrect data length (%d, %d)\n", int32_t(inflated),
                             int32_t(expected));
        part.whole = false;
    }
    part.filled = inflated;
    return true;
}

} // namespace

SliceEngine::SliceEngine(const std::vector<Input *> &inputs, ComputeSlice compute, const void *params, int threads)
    : inputs_(inputs), compute_(compute), params_(params), threads_(threads)
{
    const VrdHeader &first = inputs_.front()->header;
    count_ = first.nx * first.ny;
    for (const Input *in : inputs_)
        dtypes_.push_back(in->header.dtype);

    // The pipeline handles slices whose bytes fit a block's 32-bit length;
    // larger ones take the library's own paths of the one-thread loop.
    bool blocksFit = uint64_t(count_) * sizeof(float) <= UINT32_MAX;
    for (const Input *in : inputs_)
        blocksFit = blocksFit && uint64_t(in->voxelSize) * uint64_t(count_) <= UINT32_MAX;

    if (threads_ > 1 && first.nz > 1 && blocksFit) {
        // Two slices in flight per worker keep every worker busy while the
        // reader and the writer wait on the files; but the slices in flight
        // never take more than half the machine's memory, so that volumes of
        // very large slices run with fewer of them, or with one thread.
        const bool deflating = first.compression == vrdCompZlib;
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
        const uint64_t budget = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) / 2 : UINT64_MAX;
        const int64_t fitting = int64_t(std::min<uint64_t>(budget / std::max<uint64_t>(slotBytes(inputs_, count_, deflating), 1), 512));
        const int slots = int(std::min<int64_t>({int64_t(2) * threads_, first.nz, fitting}));
        if (slots < 3) // the slice before, the one being written and one more at least
            threads_ = 1;
        for (int i = 0; i < slots && threads_ > 1; ++i) {
            slots_.push_back(std::make_unique<Slot>());
            if (!setUpSlot(*slots_.back(), inputs_, count_, deflating)) {
                // Too little memory for many slices: run with one thread.
                slots_.clear();
                threads_ = 1;
            }
        }
    } else {
        threads_ = 1;
    }
    if (threads_ == 1) {
        slots_.push_back(std::make_unique<Slot>());
        Slot &slot = *slots_.back();
        for (const Input *in : inputs_)
            slot.slices.push_back(allocateOrRefuse(uint64_t(in->voxelSize) * uint64_t(count_), in->path));
        slot.out = static_cast<float *>(allocateOrRefuse(uint64_t(count_) * sizeof(float), inputs_.front()->path));
    }
}

SliceEngine::~SliceEngine() = default;

void SliceEngine::run(Output &out)
{
    if (threads_ == 1)
        runSerial(out);
    else
        runParallel(out);
}

void SliceEngine::runSerial(Output &out)
{
    Slot &slot = *slots_.front();
    const int32_t compression = inputs_.front()->header.compression;
    const int32_t nz = inputs_.front()->header.nz;
    for (int32_t z = 0; z < nz; ++z) {
        for (size_t k = 0; k < inputs_.size(); ++k) {
            Input &in = *inputs_[k];
            if (ReadSliceDataN(in.file, slot.slices[k], in.header.endian, in.voxelSize, count_,
                               in.header.compression) == 0)
                ++in.damagedSlices;
        }
        compute_(slot.slices.data(), dtypes_.data(), slot.out, size_t(count_), params_);
        if (WriteSliceDataN(out.file, slot.out, 4, count_, compression) == 0)
            ++out.damagedSlices;
    }
}

namespace {

// The shared state of one parallel run.
struct Pipeline {
    std::mutex lock;
    std::condition_variable slotFreed, sliceLoaded, sliceComputed;
    std::deque<Slot *> work;
    bool stopping = false;
};

} // namespace

void SliceEngine::runParallel(Output &out)
{
    const size_t nslots = slots_.size();
    const int32_t nz = inputs_.front()->header.nz;
    const int32_t compression = inputs_.front()->header.compression;
    const uint32_t outBytes = uint32_t(count_) * 4u;
    Pipeline p;

    auto slotOf = [&](int32_t z) -> Slot & { return *slots_[size_t(z) % nslots]; };

    auto computeAndDeflate = [&](Slot &slot) {
        compute_(slot.slices.data(), dtypes_.data(), slot.out, size_t(count_), params_);
        if (compression != vrdCompZlib)
            return;
        uLongf length = uLongf(vrdDeflateCapacity(outBytes));
        if (compress(slot.deflated.data(), &length, reinterpret_cast<const Bytef *>(slot.out), outBytes) != Z_OK) {
            slot.fatal = "WriteSliceDataZ: Compression Error\n";
            slot.fatalStatus = 1;
        }
        slot.deflatedLength = length;
    };

    auto reader = [&] {
        for (int32_t z = 0; z < nz; ++z) {
            Slot &slot = slotOf(z);
            {
                std::unique_lock<std::mutex> guard(p.lock);
                p.slotFreed.wait(guard, [&] { return p.stopping || slot.state == Slot::Free; });
                if (p.stopping)
                    return;
                slot.z = z;
            }
            bool lengthEnded = false;
            for (size_t k = 0; k < inputs_.size() && !lengthEnded; ++k) {
                const Input &in = *inputs_[k];
                // After a length field that ends early nothing more is read:
                // the run ends at this block.
                lengthEnded = !readPart(in, slot.parts[k], slot.slices[k], uint64_t(in.voxelSize) * uint64_t(count_));
            }
            std::lock_guard<std::mutex> guard(p.lock);
            slot.state = Slot::Loaded;
            p.work.push_back(&slot);
            p.sliceLoaded.notify_one();
            if (lengthEnded)
                return;
        }
    };

    // Everything of a slice that does not depend on the slice before it.
    auto process = [&](Slot &slot) {
        slot.notes.clear();
        slot.fatal.clear();
        slot.fatalStatus = 0;
        slot.computed = false;
        bool tails = false;
        for (size_t k = 0; k < inputs_.size(); ++k) {
            const Input &in = *inputs_[k];
            Part &part = slot.parts[k];
            if (part.missingLengthByte != 0) {
                slot.fatal = format("ReadLong error (%d)\n", part.missingLengthByte);
                slot.fatalStatus = 1;
                return;
            }
            const uint64_t sliceBytes = uint64_t(in.voxelSize) * uint64_t(count_);
            if (in.header.compression == vrdCompZlib) {
                std::string fatal;
                const bool ok = inflatePart(part, slot.slices[k], uint32_t(sliceBytes), &fatal);
                slot.notes += part.notes;
                if (!ok) {
                    slot.fatal = fatal;
                    slot.fatalStatus = 1;
                    return;
                }
            } else {
                slot.notes += part.notes;
            }
            // A slice that this block did not fill keeps bytes of the slice
            // before, which only the writer has in order.
            part.tailPending = part.filled < sliceBytes;
            tails = tails || part.tailPending;
            if (!part.tailPending && in.header.endian != vrdLittleEndian)
                vrdSwapItems(slot.slices[k], in.voxelSize, count_);
        }
        if (tails)
            return;
        computeAndDeflate(slot);
        slot.computed = true;
    };

    auto worker = [&] {
        for (;;) {
            Slot *slot = nullptr;
            {
                std::unique_lock<std::mutex> guard(p.lock);
                p.sliceLoaded.wait(guard, [&] { return p.stopping || !p.work.empty(); });
                if (p.stopping)
                    return;
                slot = p.work.front();
                p.work.pop_front();
            }
            process(*slot);
            std::lock_guard<std::mutex> guard(p.lock);
            slot->state = Slot::Computed;
            p.sliceComputed.notify_all();
        }
    };

    std::vector<std::thread> threads;
    try {
        for (int i = 0; i < threads_; ++i)
            threads.emplace_back(worker);
    } catch (const std::system_error &) {
        // Fewer workers than asked for still give the same result.
    }
    if (threads.empty()) {
        runSerial(out);
        return;
    }
    try {
        threads.emplace_back(reader);
    } catch (const std::system_error &) {
        {
            std::lock_guard<std::mutex> guard(p.lock);
            p.stopping = true;
        }
        p.sliceLoaded.notify_all();
        for (std::thread &t : threads)
            t.join();
        runSerial(out);
        return;
    }

    auto stopAll = [&] {
        {
            std::lock_guard<std::mutex> guard(p.lock);
            p.stopping = true;
        }
        p.slotFreed.notify_all();
        p.sliceLoaded.notify_all();
        for (std::thread &t : threads)
            t.join();
    };

    // The writer. The slot of the slice before stays unused until this slice
    // is done, since a slice that a block did not fill keeps its bytes.
    Slot *previous = nullptr;
    for (int32_t z = 0; z < nz; ++z) {
        Slot &slot = slotOf(z);
        {
            std::unique_lock<std::mutex> guard(p.lock);
            p.sliceComputed.wait(guard, [&] { return slot.state == Slot::Computed && slot.z == z; });
        }
        fputs(slot.notes.c_str(), stderr);
        if (slot.fatalStatus == 0 && !slot.computed) {
            for (size_t k = 0; k < inputs_.size(); ++k) {
                const Input &in = *inputs_[k];
                Part &part = slot.parts[k];
                if (!part.tailPending)
                    continue;
                const size_t sliceBytes = size_t(in.voxelSize) * size_t(count_);
                unsigned char *bytes = static_cast<unsigned char *>(slot.slices[k]);
                if (previous != nullptr)
                    memcpy(bytes + part.filled, static_cast<unsigned char *>(previous->slices[k]) + part.filled,
                           sliceBytes - size_t(part.filled));
                else
                    memset(bytes + part.filled, 0, sliceBytes - size_t(part.filled));
                if (in.header.endian != vrdLittleEndian)
                    vrdSwapItems(bytes, in.voxelSize, count_);
            }
            computeAndDeflate(slot);
        }
        if (slot.fatalStatus != 0) {
            stopAll();
            fputs(slot.fatal.c_str(), stderr);
            exit(slot.fatalStatus);
        }
        for (size_t k = 0; k < inputs_.size(); ++k)
            if (!slot.parts[k].whole)
                ++inputs_[k]->damagedSlices;

        bool whole = true;
        if (compression == vrdCompZlib) {
            WriteLong(out.file, int32_t(uint32_t(slot.deflatedLength)));
            if (fwrite(slot.deflated.data(), 1, size_t(slot.deflatedLength), out.file) < slot.deflatedLength) {
                fputs("WriteSliceDataZ: Write Error\n", stderr);
                whole = false;
            }
            fflush(out.file);
        } else {
            whole = WriteSliceDataN(out.file, slot.out, 4, count_, compression) != 0;
        }
        if (!whole)
            ++out.damagedSlices;

        std::lock_guard<std::mutex> guard(p.lock);
        if (previous != nullptr) {
            previous->state = Slot::Free;
            p.slotFreed.notify_all();
        }
        previous = &slot;
    }
    stopAll();
}

} // namespace vrdtool
