// vrdconvert: moves a volume between vrd, NRRD, NIfTI and raw files.
// Usage: vrdconvert [options] IN OUT
//
// Every path runs on the slice engine, one slice at a time: a vrd input is
// read by the engine, a foreign one through a source callback that reads its
// slices in order; a vrd output is written by the engine, a foreign one by
// the ordered callback into a slice sink, with gzip data deflated slice by
// slice on the workers and joined into one member in slice order. Memory is
// so bounded by the slices in flight, and all of it is had before the output
// exists.
#include "mapping.h"
#include "options.h"
#include "output.h"
#include "run.h"
#include "stream.h"
#include "tiff.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace vrdconvert;

const char usage[] = "[options] IN OUT";
const char description[] =
    "Converts a volume between vrd (.vrd), NRRD (.nrrd; .nhdr with a detached data\n"
    "file as input), NIfTI-1 and NIfTI-2 (.nii, .nii.gz) and headerless raw data\n"
    "(.raw), the formats chosen by the file names. Values pass unchanged into the\n"
    "nearest type the output holds them in exactly; spacing, units, orientation and\n"
    "comments go along. The axis order is x fastest, then y, then z (the slices).\n"
    "TIFF stacks (.tif, .tiff; one greyscale page a slice) go both ways too.\n"
    "A folder IN is read as a DICOM series, its values rescaled (see vrdconvert(1)).\n"
    "\n"
    "  --raw, --zlib         vrd output: uncompressed or zlib blocks (default zlib)\n"
    "  --encoding raw|gzip   NRRD output encoding (default gzip)\n"
    "  --uniform             write a rectilinear vrd grid with its mean spacing\n"
    "  --data-anywhere       NRRD input: its data file may lie outside the header's\n"
    "                        folder, or be a FIFO or standard input (-)\n"
    "  --volume N            4-D NIfTI or NRRD input: read its volume N (0 = first)\n"
    "  --nifti2              NIfTI output as NIfTI-2 (chosen anyway for sizes > 32767)\n"
    "  --size NX NY NZ       raw input: its size\n"
    "  --type TYPE           raw input: int8 uint8 int16 uint16 int32 uint32 int64\n"
    "                        uint64 float32 float64, or a vrd type (uchar char uint12\n"
    "                        intHU float double ...)\n"
    "  --endian big|little   raw input: its byte order (default this machine's)\n"
    "  --series N|UID        DICOM folder: the series to read (SeriesNumber or UID)\n"
    "  --keep-tags           DICOM: modality, description, study date, model, kVp and\n"
    "                        kernel into comments (no patient tag is ever kept)\n"
    "  --help                show this text\n"
    "  --version             show the program's and the library's version\n"
    "\n"
    "Environment: VRD_THREADS (threads, 1 = one), VRD_DEFLATE (zlib, zlib:LEVEL,\n"
    "libdeflate, libdeflate:LEVEL; vrd output), VRD_PROGRESS (0 off, 1 on). See\n"
    "vrdconvert(1).\n";

// Room for the workers' indexes: the engine's most threads and the writer.
constexpr size_t kMaxWorkers = 258;

// What a worker leaves in a slice's scratch before the deflated bytes.
struct Deflated {
    uint64_t size;
    uint32_t crc;
    uint32_t ok;
};

// A vrd input that is not a regular file (a FIFO) has no size to check
// first: the engine reads it through this gate, which holds each block until
// its bytes have come and lets it through only while the slices so far stay
// within what the blocks so far can give (the rule limitSlices applies to a
// regular file). Past that the engine sees the file end at the next length
// field, which ends the run there.
struct BlockGate {
    FILE *source = nullptr;
    uint64_t sliceBytes = 0;
    uint64_t bytes = 0; // of the blocks let through, length fields included
    int32_t blocks = 0;
    std::vector<unsigned char> held; // the block being let through
    size_t at = 0;
    bool closed = false; // the rule ended the run
    const char *path = nullptr;
    bool said = false;

    BlockGate();
    ~BlockGate();

    // Why the run ended, once: after the run, or at the exit of a run that
    // the cut-off block ended (a vrd output ends at such a block).
    void sayClosed()
    {
        if (!closed || said)
            return;
        said = true;
        fprintf(stderr, "vrdconvert: %s: the %llu bytes of its first %d blocks cannot give more slices of %llu bytes;"
                        " the run ends there\n",
                path, (unsigned long long)bytes, blocks, (unsigned long long)sliceBytes);
    }

    bool next()
    {
        if (closed || feof(source) || ferror(source))
            return false;
        held.resize(4);
        at = 0;
        const size_t got = fread(held.data(), 1, 4, source);
        if (got < 4) { // a length field cut by the end: the engine reports it
            held.resize(got);
            return got > 0;
        }
        const uint64_t length = uint64_t(held[0]) << 24 | uint64_t(held[1]) << 16 | uint64_t(held[2]) << 8 | held[3];
        // Grown as the bytes come, never ahead of them by more than 1 MiB.
        while (held.size() - 4 < length) {
            const size_t from = held.size();
            held.resize(from + size_t(std::min<uint64_t>(length - (from - 4), uint64_t{1} << 20)));
            const size_t n = fread(held.data() + from, 1, held.size() - from, source);
            held.resize(from + n);
            if (n == 0)
                break;
        }
        uint64_t budget = 0;
        if (!__builtin_mul_overflow(bytes + held.size(), kDeflateMaxRatio, &budget) &&
            uint64_t(blocks + 1) * (sliceBytes + 4) > budget) {
            closed = true;
            held.clear();
            return false;
        }
        bytes += held.size();
        ++blocks;
        return true;
    }

    static ssize_t read(void *cookie, char *buffer, size_t size)
    {
        BlockGate &g = *static_cast<BlockGate *>(cookie);
        if (g.at == g.held.size() && !g.next())
            return 0;
        const size_t n = std::min(size, g.held.size() - g.at);
        std::memcpy(buffer, g.held.data() + g.at, n);
        g.at += n;
        return ssize_t(n);
    }

    static int close(void *cookie)
    {
        return fclose(static_cast<BlockGate *>(cookie)->source);
    }
};

BlockGate *gateAtExit = nullptr;

void sayGateClosedAtExit()
{
    if (gateAtExit != nullptr)
        gateAtExit->sayClosed();
}

BlockGate::BlockGate()
{
    static const bool registered = atexit(sayGateClosedAtExit) == 0;
    (void)registered;
    gateAtExit = this;
}

BlockGate::~BlockGate()
{
    if (gateAtExit == this)
        gateAtExit = nullptr;
}

struct Conversion {
    Options opt;
    bool vrdIn = false, vrdOut = false;
    // input
    vrdtool::Input vin;
    VrdHeader vinRun{};      // vin.header with the slices its bytes can give (see slicesHeld)
    int32_t slicesHeld = 0;  // < nz when the run ends early for it
    uint64_t inputSize = 0;  // of a regular vrd input
    std::unique_ptr<BlockGate> gate; // of any other vrd input
    std::unique_ptr<SliceSource> source;
    VrdHeader sourceHeader{}; // what the engine knows of a foreign input
    bool sourceFailed = false;
    // the volume as the foreign side sees it
    Volume vol;
    DicomSeries dicom; // a DICOM input's type and slice spacings
    uint64_t sliceBytes = 0;
    // output
    vrdtool::Output vout;
    std::unique_ptr<SliceSink> sink;
    FILE *file = nullptr;
    bool gzip = false;
    size_t deflatedCapacity = 0;
    std::vector<std::unique_ptr<SliceDeflater>> deflaters;
    std::string sinkError;
    int64_t written = 0;
};

void note(const char *path, const std::string &text)
{
    fprintf(stderr, "vrdconvert: %s: %s\n", path, text.c_str());
}

// ---- engine callbacks

void readSource(void *user, int32_t, void *slice, VrdBlockResult *result)
{
    Conversion &c = *static_cast<Conversion *>(user);
    if (!c.sourceFailed) {
        std::string error;
        if (c.source->read(slice, &error))
            return;
        c.sourceFailed = true;
        snprintf(result->message, sizeof result->message, "vrdconvert: %s: %s\n", c.opt.in, error.c_str());
    }
    // The run ends here, as at the end of a vrd file: a pipe's header could
    // claim any number of slices, and none of them is to be made up.
    memset(slice, 0, size_t(c.sliceBytes));
    result->outcome = vrdBlockDamaged;
    result->lengthEnded = 1;
}

void deflateSlice(void *user, int32_t worker, int32_t, const void *const *inputs, void *, int32_t, void *scratch)
{
    Conversion &c = *static_cast<Conversion *>(user);
    auto *head = static_cast<Deflated *>(scratch);
    size_t size = 0;
    uint32_t crc = 0;
    head->ok = c.deflaters[size_t(worker)]->deflate(inputs[0], size_t(c.sliceBytes),
                                                     static_cast<uint8_t *>(scratch) + sizeof(Deflated),
                                                     c.deflatedCapacity, &size, &crc);
    head->size = size;
    head->crc = crc;
}

int32_t setUpDeflater(void *user, int32_t worker, int32_t setUp)
{
    Conversion &c = *static_cast<Conversion *>(user);
    if (size_t(worker) >= c.deflaters.size())
        return 0;
    if (!setUp) {
        c.deflaters[size_t(worker)].reset();
        return 1;
    }
    auto deflater = std::unique_ptr<SliceDeflater>(new (std::nothrow) SliceDeflater);
    if (!deflater || !deflater->init(kDefaultGzipLevel))
        return 0;
    c.deflaters[size_t(worker)] = std::move(deflater);
    return 1;
}

void writeSlice(void *user, int32_t, const void *const *inputs, const VrdBlockResult *blocks, const void *,
                void *scratch)
{
    Conversion &c = *static_cast<Conversion *>(user);
    if (blocks[0].lengthEnded != 0 || !c.sinkError.empty())
        return; // the run ends at this slice
    bool ok;
    if (c.gzip) {
        const auto *head = static_cast<const Deflated *>(scratch);
        ok = head->ok != 0 ? c.sink->writeDeflated(static_cast<const uint8_t *>(scratch) + sizeof(Deflated),
                                                   size_t(head->size), head->crc, c.sliceBytes, &c.sinkError)
                           : c.sink->write(inputs[0], &c.sinkError);
    } else {
        ok = c.sink->write(inputs[0], &c.sinkError);
    }
    if (ok)
        ++c.written;
    else if (c.sinkError.empty())
        c.sinkError = "write error";
}

// ---- set-up

// How many slices a regular vrd file's bytes can give. A whole block holds
// its slice in at least 1/1032 of its bytes, so a sound file always gives
// all of them; a damaged block gives a slice from nothing (the slice before,
// or zeros), and a file of such blocks would make an output of any size.
// The run so ends at the slice where the output's data (with a vrd block's
// length field) would pass 1032 times the input's bytes; the first slice,
// which the first-block check has seen, is always made. A vrd output's
// icon (nx x ny bytes) is not counted: a sound file with a smaller icon,
// deflated as far as deflate goes, would otherwise lose its last slices.
void limitSlices(Conversion &c)
{
    c.slicesHeld = c.vin.header.nz;
    struct stat st;
    // A pipe's stream may be one that serves its first block again (no descriptor).
    const int fd = fileno(c.vin.file);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        c.gate = std::make_unique<BlockGate>();
        c.gate->source = c.vin.file;
        c.gate->sliceBytes = c.sliceBytes;
        c.gate->path = c.opt.in;
        FILE *gated = fopencookie(c.gate.get(), "r", cookie_io_functions_t{BlockGate::read, nullptr, nullptr,
                                                                           BlockGate::close});
        if (gated == nullptr)
            vrdtool::refuse(c.opt.in, "cannot read it: %s", strerror(errno));
        c.vin.file = gated;
        // The first block comes before anything is sized from the header.
        if (!c.gate->next() || c.gate->held.size() < 4)
            vrdtool::refuse(c.opt.in, "holds no slice data (its first block cannot give a slice of %llu bytes)",
                            (unsigned long long)c.sliceBytes);
        return;
    }
    c.inputSize = uint64_t(st.st_size);
    uint64_t budget = 0;
    if (__builtin_mul_overflow(c.inputSize, kDeflateMaxRatio, &budget))
        return;
    const uint64_t held = std::max<uint64_t>(budget / (c.sliceBytes + 4), 1);
    if (held < uint64_t(c.slicesHeld))
        c.slicesHeld = int32_t(held);
}

void openForeignInput(Conversion &c, std::vector<std::string> &notes)
{
    std::string error;
    switch (c.opt.inFormat) {
    case Format::Nrrd:
    case Format::Nhdr: c.source = openNrrd(c.opt.in, &c.vol, &error, c.opt.volume, c.opt.dataAnywhere); break;
    case Format::Nifti:
    case Format::NiftiGz: c.source = openNifti(c.opt.in, &c.vol, &error, c.opt.volume); break;
    case Format::Tiff: c.source = openTiff(c.opt.in, &c.vol, &error); break;
    case Format::Raw:
        c.vol = c.opt.raw;
        c.source = openRaw(c.opt.in, c.vol, &error);
        break;
    case Format::Dicom: c.source = openDicom(c.opt.in, c.opt.dicom, &c.vol, &c.dicom, &error); break;
    case Format::Vrd: break;
    }
    if (!c.source)
        vrdtool::refuse(c.opt.in, "%s", error.c_str());
    uint64_t total = 0;
    if (!volumeBytes(c.vol, &c.sliceBytes, &total, &error))
        vrdtool::refuse(c.opt.in, "%s", error.c_str());
    // The engine counts voxels in int32 and moves a slice as one block.
    if (c.vol.nx > INT32_MAX || c.vol.ny > INT32_MAX || c.vol.nz > INT32_MAX || c.vol.nx * c.vol.ny > INT32_MAX ||
        c.sliceBytes > UINT32_MAX)
        vrdtool::refuse(c.opt.in, "slices of %lld x %lld voxels (%lld slices) are too large for this program",
                        (long long)c.vol.nx, (long long)c.vol.ny, (long long)c.vol.nz);
    if (!c.source->proveFirstSlice(&error))
        vrdtool::refuse(c.opt.in, "%s", error.c_str());
    for (const std::string &n : c.vol.notes)
        notes.push_back(n);
}

VrdEngine *makeEngine(Conversion &c)
{
    VrdEngineInput input{};
    if (c.vrdIn) {
        c.vinRun = c.vin.header;
        c.vinRun.nz = c.slicesHeld;
        input = VrdEngineInput{c.vin.file, &c.vinRun, nullptr};
    } else {
        c.sourceHeader.nx = int32_t(c.vol.nx), c.sourceHeader.ny = int32_t(c.vol.ny),
        c.sourceHeader.nz = int32_t(c.vol.nz);
        c.sourceHeader.dtype = c.vrdOut ? c.vout.header.dtype : containerDtype(c.vol.type);
        c.sourceHeader.nbands = 1;
        input = VrdEngineInput{nullptr, &c.sourceHeader, readSource};
    }
    VrdEngineSetup setup{};
    setup.inputCount = 1;
    setup.inputs = &input;
    setup.user = &c;
    setup.flags = vrdtool::engineFlags(c.vrdOut);
    // A damaged vrd block costs its slice, not the rest of the file; a vrd
    // output from a vrd input ends at a fatal block, as volmap's does. A
    // foreign input ends the run where its data fail.
    if (!c.vrdIn || !c.vrdOut)
        setup.flags |= vrdEngineKeepGoing;
    // What is written depends on the slice alone; a vrd output is bounded by
    // the blocks read, as volmap's is.
    if (c.vrdIn)
        setup.flags |= vrdEngineRepeats | (c.vrdOut ? vrdEngineBoundOutput : 0);
    if (c.vrdOut) {
        setup.outputDtype = c.vout.header.dtype;
        setup.outputCompression = c.vout.header.compression;
        setup.deflate = vrdtool::deflateSetting(); // with no compute, the input's slices are written
    } else {
        setup.ordered = writeSlice;
        if (c.gzip) {
            SliceDeflater probe;
            if (!probe.init(kDefaultGzipLevel))
                vrdtool::refuse(c.opt.out, "cannot set up deflate");
            c.deflatedCapacity = probe.bound(size_t(c.sliceBytes));
            c.deflaters.resize(kMaxWorkers);
            setup.scratchBytes = sizeof(Deflated) + c.deflatedCapacity;
            setup.compute = deflateSlice;
            setup.worker = setUpDeflater;
        }
    }
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    if (engine == nullptr)
        vrdtool::refuse(c.opt.in, "%s", why);
    return engine;
}

std::unique_ptr<SliceSink> makeSink(Conversion &c, std::vector<std::string> &notes)
{
    std::string error;
    bool cut = false;
    std::unique_ptr<SliceSink> sink;
    switch (c.opt.outFormat) {
    case Format::Nrrd: sink = createNrrd(nullptr, c.vol, c.opt.encoding, &error); break;
    case Format::Nifti:
    case Format::NiftiGz:
        sink = createNifti(nullptr, c.vol, c.opt.encoding, &error, &cut, kDefaultGzipLevel, c.opt.nifti2);
        if (sink && !c.opt.nifti2 &&
            (c.vol.nx > kNifti1MaxSize || c.vol.ny > kNifti1MaxSize || c.vol.nz > kNifti1MaxSize))
            notes.push_back(format("written as NIfTI-2: NIfTI-1 holds at most %lld voxels along an axis",
                                   (long long)kNifti1MaxSize));
        break;
    case Format::Raw: sink = createRaw(nullptr, c.vol, &error); break;
    case Format::Tiff: sink = createTiff(nullptr, c.vol, &error, &notes); break;
    case Format::Vrd:
    case Format::Nhdr:
    case Format::Dicom: break;
    }
    if (!sink)
        vrdtool::refuse(c.opt.out, "%s", error.c_str());
    if (cut)
        notes.push_back("comments cut to the 79 characters of the NIfTI description");
    if (c.opt.outFormat == Format::Raw)
        notes.push_back(format("headerless %s data in this machine's byte order (%s), %lld x %lld x %lld, x fastest;"
                               " no spacing, units or comments",
                               scalarName(c.vol.type), kHostBigEndian ? "big-endian" : "little-endian",
                               (long long)c.vol.nx, (long long)c.vol.ny, (long long)c.vol.nz));
    return sink;
}

// ---- the end of a run

int finishRun(Conversion &c, int32_t done, int64_t inputDamaged, int64_t outputDamaged)
{
    int status = 0;
    const int64_t nz = c.vrdIn ? c.vin.header.nz : c.vol.nz;
    if (!c.vrdOut && c.sinkError.empty() && !c.sink->finish(&c.sinkError) && c.sinkError.empty())
        c.sinkError = "write error";
    // A run ends early at the end of its input's data, or when its vrd
    // output failed (its slices then all count as not written).
    if (outputDamaged == 0)
        inputDamaged += nz - done;
    if (c.vrdIn && c.slicesHeld < nz && done == c.slicesHeld)
        fprintf(stderr, "vrdconvert: %s: its %lld bytes cannot give more than %d of its %lld slices of %llu bytes;"
                        " the run ends there\n",
                c.opt.in, (long long)c.inputSize, c.slicesHeld, (long long)nz,
                (unsigned long long)c.sliceBytes);
    if (c.gate)
        c.gate->sayClosed();
    if (c.vrdIn) {
        fclose(c.vin.file);
        c.vin.file = nullptr;
    } else {
        if (!c.sourceFailed && c.source->trailingData())
            note(c.opt.in, "the data go on past the volume; the rest is not read");
        c.source.reset();
    }
    if (inputDamaged > 0) {
        fprintf(stderr, "vrdconvert: %s: %lld of %lld slices damaged\n", c.opt.in, (long long)inputDamaged,
                (long long)nz);
        status = 1;
    }
    FILE *out = c.vrdOut ? c.vout.file : c.file;
    // A sink that could not write fails the output; one that ended short
    // with the input (its data end early) keeps what it wrote, with a note.
    const bool sinkFailed = c.sinkError.compare(0, 11, "write error") == 0;
    std::string failure = sinkFailed ? c.sinkError : "";
    if (outputDamaged > 0)
        failure = format("%lld of %lld slices not written whole", (long long)outputDamaged, (long long)nz);
    if (!vrdtool::closeOutput(out, c.opt.out, failure)) {
        status = 1;
    } else if (!c.sinkError.empty()) {
        fprintf(stderr, "vrdconvert: %s: %s\n", c.opt.out, c.sinkError.c_str());
        status = 1;
    }
    c.vout.file = c.file = nullptr;
    fflush(stderr);
    return status;
}

int run(int argc, char **argv)
{
    if (vrdtool::answerHelpOrVersion(argc, argv, "vrdconvert", usage, description))
        return 0;
    vrdtool::setProgramName("vrdconvert");
    auto conversion = std::make_unique<Conversion>();
    Conversion &c = *conversion;
    c.opt = parseOptions(argc, argv);
    c.vrdIn = c.opt.inFormat == Format::Vrd;
    c.vrdOut = c.opt.outFormat == Format::Vrd;
    c.gzip = !c.vrdOut && c.opt.encoding == Encoding::Gzip;
    std::vector<std::string> inNotes, outNotes;
    std::string uniformNote;

    std::vector<vrdtool::InputFile> inputFiles;
    if (c.vrdIn) {
        vrdtool::openInput(c.vin, c.opt.in);
        vrdtool::checkInput(c.vin);
        vrdtool::checkFirstBlock(c.vin);
        c.sliceBytes = uint64_t(c.vin.voxelSize) * uint64_t(c.vin.header.nx) * uint64_t(c.vin.header.ny);
        inputFiles.push_back(vrdtool::InputFile{c.opt.in, c.vin.file});
        limitSlices(c);
        if (c.vrdOut) {
            c.vout.header = c.vin.header;
            c.vout.header.endian = vrdLittleEndian; // slices are written as they lie in memory
            c.vout.header.compression = c.opt.vrdCompression;
        } else if (c.opt.outFormat == Format::Raw) {
            // Raw data hold the values alone, so any grid will do.
            c.vol.nx = c.vin.header.nx, c.vol.ny = c.vin.header.ny, c.vol.nz = c.vin.header.nz;
            c.vol.type = scalarOfDtype(c.vin.header.dtype);
        } else {
            std::string refusal;
            if (!volumeFromHeader(c.vin.header, c.opt.uniform, formatName(c.opt.outFormat), &c.vol, &refusal,
                                  &uniformNote, &outNotes))
                vrdtool::refuse(c.opt.in, "%s", refusal.c_str());
        }
    } else {
        openForeignInput(c, inNotes);
        inputFiles.push_back(vrdtool::InputFile{c.opt.in, nullptr});
        if (!c.vol.dataFile.empty())
            inputFiles.push_back(vrdtool::InputFile{c.vol.dataFile.c_str(), nullptr});
        if (c.vrdOut) {
            int32_t dtype = c.opt.inFormat == Format::Raw ? c.opt.rawDtype : c.dicom.dtype;
            if (dtype == 0 && !dtypeOfScalar(c.vol.type, &dtype))
                vrdtool::refuse(c.opt.in, "%s values have no exact vrd type; vrd output refused",
                                scalarName(c.vol.type));
            c.vout.header = headerFromVolume(c.vol, dtype, c.opt.vrdCompression, &outNotes);
            dicomGrid(c.dicom, c.opt.uniform, &c.vout.header, &uniformNote);
        } else if (!c.dicom.sliceSpacing.empty() && c.opt.outFormat != Format::Raw) {
            if (!c.opt.uniform)
                vrdtool::refuse(c.opt.in, "unevenly spaced slices: %s holds one z spacing; --uniform writes the "
                                          "mean spacing %g, a vrd output keeps each slice's",
                                formatName(c.opt.outFormat), c.vol.spacing[2]);
            uniformNote = format("unevenly spaced slices written with the mean z spacing %g", c.vol.spacing[2]);
        } else if (c.vol.hasSpacing && c.opt.outFormat != Format::Raw) {
            // NRRD takes NaN for an unknown spacing, teem refuses infinity; NIfTI wants a positive one.
            const bool nrrd = c.opt.outFormat == Format::Nrrd;
            for (int i = 0; i < 3; ++i) {
                double &s = c.vol.spacing[i];
                if (std::isfinite(s) && (nrrd || s > 0))
                    continue;
                if (nrrd && std::isnan(s))
                    continue;
                outNotes.push_back(format("%c spacing %g written as %s", "xyz"[i], s, nrrd ? "unknown (nan)" : "1"));
                s = nrrd ? NAN : 1;
            }
        }
    }

    vrdtool::refuseSameFile(c.opt.out, inputFiles);
    if (!c.vrdOut)
        c.sink = makeSink(c, outNotes);
    VrdEngine *engine = makeEngine(c);

    for (const std::string &n : inNotes)
        note(c.opt.in, n);
    if (!uniformNote.empty())
        note(c.opt.in, uniformNote);
    for (const std::string &n : outNotes)
        note(c.opt.out, n);
    fflush(stderr);

    if (c.vrdOut) {
        c.vout.path = c.opt.out;
        vrdtool::createOutputFor(c.vout, inputFiles);
    } else {
        c.file = vrdtool::createOutputFile(c.opt.out);
        c.sink->start(c.file, &c.sinkError);
    }
    int32_t done = 0;
    if (c.sinkError.empty())
        done = vrdEngineRun(engine, c.vrdOut ? c.vout.file : nullptr);
    const int64_t inputDamaged = vrdEngineDamaged(engine, 0);
    const int64_t outputDamaged = c.vrdOut ? vrdEngineDamaged(engine, -1) : 0;
    vrdEngineFree(engine);
    if (!c.sinkError.empty() && done == 0)
        done = int32_t(c.vrdIn ? c.vin.header.nz : c.vol.nz); // nothing read: nothing of the input is to blame
    return finishRun(c, done, inputDamaged, outputDamaged);
}

} // namespace

int main(int argc, char **argv)
{
    return vrdtool::guardedMain(run, argc, argv);
}
