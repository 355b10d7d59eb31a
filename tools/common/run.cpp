#include "run.h"

#include "output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace vrdtool {

namespace {

const char *programName = "vrd";

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

void setProgramName(const char *name)
{
    programName = name;
}

namespace {

[[noreturn]] void internalError(const char *what)
{
    fprintf(stderr, "%s: %s\n", programName, what);
    fflush(stderr);
    exit(1);
}

} // namespace

int guardedMain(int (*body)(int, char **), int argc, char **argv)
{
    std::set_terminate([] { internalError("internal error"); });
    ignoreFileSizeSignal();
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc &) {
        internalError("out of memory");
    } catch (const std::exception &error) {
        char text[300];
        snprintf(text, sizeof text, "internal error: %s", error.what());
        internalError(text);
    } catch (...) {
        internalError("internal error");
    }
}

void printUsage(const char *invocation, const char *arguments)
{
    fprintf(stderr, "Missing parameters. \n");
    fflush(stderr);
    fprintf(stderr, "Usage: \n");
    fflush(stderr);
    fprintf(stderr, "%s%s\n", invocation, arguments);
    fflush(stderr);
}

bool answerHelpOrVersion(int argc, char **argv, const char *program, const char *usage,
                         const char *description)
{
    if (argc != 2)
        return false;
    if (strcmp(argv[1], "--help") == 0)
        printf("Usage: %s %s\n%s", program, usage, description);
    else if (strcmp(argv[1], "--version") == 0)
        printf("%s (vrd) %s\n", program, vrdVersion());
    else
        return false;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: standard output: write error\n", program);
        exit(1);
    }
    return true;
}

double numberArgument(const char *text, const char *name)
{
    // strtod alone would skip leading blanks and stop at the first character
    // that is not part of a number; a window given as "1O" must not become 1.
    char *end = nullptr;
    const double value = *text && !isspace(static_cast<unsigned char>(*text)) ? strtod(text, &end) : 0.0;
    if (end == nullptr || end == text || *end != '\0')
        refuse(name, "not a number: \"%s\"", text);
    return value;
}

void refuse(const char *path, const char *format, ...)
{
    fprintf(stderr, "%s: %s: ", programName, path);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
    exit(-1);
}

void openInput(Input &in, const char *path)
{
    in.path = path;
    in.file = vrdOpenRead(path, &in.header);
    if (in.file == nullptr) {
        const int32_t error = vrdErrno;
        const char *reason = (error >= 0 && error <= 36) ? vrdErrorMessages[error] : "unknown error";
        if (error == 1)
            refuse(path, "%s: %s", reason, strerror(errno));
        refuse(path, "%s", reason);
    }
    in.voxelSize = vrdHeaderVoxelSize(&in.header);
}

void checkInput(const Input &in)
{
    const VrdHeader &h = in.header;
    if (h.nbands != 1)
        refuse(in.path, "%d bands per voxel; only single-band volumes can be processed", h.nbands);
    if (h.nx <= 0 || h.ny <= 0 || h.nz <= 0)
        refuse(in.path, "incorrect volume dimensions %d x %d x %d", h.nx, h.ny, h.nz);
    const int64_t count = int64_t(h.nx) * h.ny;
    if (count > INT32_MAX)
        refuse(in.path, "slices of %d x %d voxels are too large", h.nx, h.ny);
    // Both the input slice and the float32 output slice must fit one block.
    const int64_t widest = in.voxelSize > 4 ? in.voxelSize : 4;
    if (count * widest > int64_t(UINT32_MAX))
        refuse(in.path, "slices of %d x %d voxels are too large for a block", h.nx, h.ny);
}

uint64_t leastBlockBytes(uint64_t sliceBytes, int32_t compression)
{
    return compression == vrdCompNone ? sliceBytes : sliceBytes / 1032;
}

namespace {

// A stream whose first bytes were read ahead: they are served again first.
struct ReadAhead {
    FILE *file;
    std::string head;
    size_t at = 0;
};

ssize_t readAgain(void *cookie, char *buffer, size_t size)
{
    ReadAhead &r = *static_cast<ReadAhead *>(cookie);
    if (r.at < r.head.size()) {
        const size_t n = std::min(size, r.head.size() - r.at);
        memcpy(buffer, r.head.data() + r.at, n);
        r.at += n;
        return ssize_t(n);
    }
    const size_t got = fread(buffer, 1, size, r.file);
    return got == 0 && ferror(r.file) ? -1 : ssize_t(got);
}

int closeAgain(void *cookie)
{
    ReadAhead *r = static_cast<ReadAhead *>(cookie);
    const int closed = fclose(r->file);
    delete r;
    return closed;
}

// A pipe's first block, read ahead as far as the least a slice needs: a
// header that announces huge slices over a pipe that sends a few bytes is
// refused before any slice memory or output exists, as for a regular file.
void checkFirstBlockOfStream(Input &in, uint64_t sliceBytes, uint64_t least)
{
    std::string head(4, '\0');
    if (fread(&head[0], 1, 4, in.file) != 4)
        refuse(in.path, "holds no slice data (the file ends before the first block)");
    const uint64_t length = uint64_t(uint8_t(head[0])) << 24 | uint64_t(uint8_t(head[1])) << 16 |
                            uint64_t(uint8_t(head[2])) << 8 | uint8_t(head[3]);
    if (length < least)
        refuse(in.path, "holds no slice data (the first block of %llu bytes cannot hold a slice of %llu bytes)",
               static_cast<unsigned long long>(length), static_cast<unsigned long long>(sliceBytes));
    head.resize(size_t(4 + least));
    const size_t got = least > 0 ? fread(&head[4], 1, size_t(least), in.file) : 0;
    if (got < least)
        refuse(in.path, "holds no slice data (the first block announces %llu bytes, %llu follow)",
               static_cast<unsigned long long>(length), static_cast<unsigned long long>(got));
    ReadAhead *ahead = new ReadAhead{in.file, std::move(head)};
    cookie_io_functions_t io{};
    io.read = readAgain;
    io.close = closeAgain;
    FILE *again = fopencookie(ahead, "rb", io);
    if (again == nullptr) {
        delete ahead;
        refuse(in.path, "cannot read: %s", strerror(errno));
    }
    in.file = again;
}

} // namespace

void checkFirstBlock(Input &in)
{
    const uint64_t sliceBytes = uint64_t(in.voxelSize) * uint64_t(in.header.nx) * uint64_t(in.header.ny);
    const uint64_t least = leastBlockBytes(sliceBytes, in.header.compression);
    struct stat info;
    if (fstat(fileno(in.file), &info) != 0 || !S_ISREG(info.st_mode)) {
        checkFirstBlockOfStream(in, sliceBytes, least);
        return;
    }
    const off_t start = ftello(in.file);
    if (start < 0)
        return;
    unsigned char field[4];
    const size_t got = fread(field, 1, sizeof field, in.file);
    if (fseeko(in.file, start, SEEK_SET) != 0)
        refuse(in.path, "cannot return to the first slice block: %s", strerror(errno));
    const uint64_t length = uint64_t(field[0]) << 24 | uint64_t(field[1]) << 16 | uint64_t(field[2]) << 8 | field[3];
    const uint64_t after = uint64_t(info.st_size) > uint64_t(start) + 4 ? uint64_t(info.st_size) - uint64_t(start) - 4 : 0;
    if (got < sizeof field)
        refuse(in.path, "holds no slice data (the file ends before the first block)");
    if (length > after)
        refuse(in.path, "holds no slice data (the first block announces %llu bytes, %llu follow)",
               static_cast<unsigned long long>(length), static_cast<unsigned long long>(after));
    if (length < least)
        refuse(in.path, "holds no slice data (the first block of %llu bytes cannot hold a slice of %llu bytes)",
               static_cast<unsigned long long>(length), static_cast<unsigned long long>(sliceBytes));
}

VrdHeader floatHeaderFrom(const VrdHeader &in)
{
    VrdHeader out = in;
    if (in.dtype != vrdFloat && in.dtype != vrdDouble)
        out.bgThresholdF = float(in.bgThresholdI);
    out.dtype = vrdFloat;
    // Slices are written as they lie in memory, in this machine's order.
    out.endian = vrdLittleEndian;
    return out;
}

VrdDeflate deflateSetting()
{
    VrdDeflate setting{};
    const char *text = getenv("VRD_DEFLATE");
    if (text != nullptr && vrdParseDeflate(text, &setting) == 0)
        refuse("VRD_DEFLATE", "unknown setting '%s' (zlib, zlib:0 to zlib:9, libdeflate, libdeflate:1 to libdeflate:12)",
               text);
    return setting;
}

int32_t engineFlags(bool writesVolume)
{
    const char *setting = getenv("VRD_PROGRESS");
    bool progress = isatty(STDERR_FILENO) != 0;
    if (setting != nullptr && strcmp(setting, "0") == 0)
        progress = false;
    else if (setting != nullptr && strcmp(setting, "1") == 0)
        progress = true;
    return (writesVolume ? vrdEnginePreview : 0) | (progress ? vrdEngineProgress : 0);
}

VrdEngine *prepareRun(const std::vector<Input *> &inputs, VrdComputeFn compute, Job &job)
{
    std::vector<VrdEngineInput> engineInputs;
    for (const Input *in : inputs) {
        engineInputs.push_back(VrdEngineInput{in->file, &in->header, nullptr});
        job.dtypes.push_back(in->header.dtype);
    }
    VrdEngineSetup setup{};
    setup.inputCount = int32_t(engineInputs.size());
    setup.inputs = engineInputs.data();
    setup.outputDtype = vrdFloat;
    setup.outputCompression = inputs.front()->header.compression;
    setup.compute = compute;
    setup.user = &job;
    setup.deflate = deflateSetting();
    // The window and the comparison depend on the voxel values alone.
    setup.flags = engineFlags(true) | vrdEngineRepeats | vrdEngineBoundOutput;
    char why[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    if (engine == nullptr)
        refuse(inputs.front()->path, "%s", why);
    return engine;
}

void runSlices(VrdEngine *engine, const std::vector<Input *> &inputs, Output &out)
{
    vrdEngineRun(engine, out.file);
    for (size_t k = 0; k < inputs.size(); ++k)
        inputs[k]->damagedSlices = vrdEngineDamaged(engine, int32_t(k));
    out.damagedSlices = vrdEngineDamaged(engine, -1);
    vrdEngineFree(engine);
}

void refuseSameFile(const char *output, const std::vector<InputFile> &inputs)
{
    struct stat target;
    if (stat(output, &target) != 0)
        return;
    for (const InputFile &in : inputs) {
        struct stat source;
        const int got = in.file != nullptr ? fstat(fileno(in.file), &source) : stat(in.path, &source);
        if (got == 0 && sameFile(source, target))
            refuse(output, "is the same file as the input %s", in.path);
    }
}

FILE *createOutputFile(const char *path)
{
    FILE *file = openOutput(path);
    if (file == nullptr)
        refuse(path, "cannot create: %s", strerror(errno));
    return file;
}

void createOutputFor(Output &out, const std::vector<InputFile> &inputs)
{
    refuseSameFile(out.path, inputs);
    out.file = createOutputFile(out.path);
    // Blank until the run has its middle slice (see the engine's preview).
    writeVrdHeaderBlankIcon(out.file, &out.header, out.header.nx, out.header.ny);
}

void createOutput(Output &out, const std::vector<const Input *> &inputs)
{
    std::vector<InputFile> files;
    for (const Input *in : inputs)
        files.push_back(InputFile{in->path, in->file});
    createOutputFor(out, files);
}

bool closeOutput(FILE *file, const char *path, std::string failure)
{
    const bool replaces = replacesFile();
    const bool streamFailed = fflush(file) != 0 || ferror(file) != 0;
    const int flushError = errno;
    if (failure.empty() && streamFailed)
        failure = flushError != 0 ? strerror(flushError) : "the output stream failed";
    if (!failure.empty()) {
        // Nothing of a failed write is put in place.
        discardOutput();
        fclose(file);
    } else if (fclose(file) != 0) {
        failure = strerror(errno);
        discardOutput();
    }
    if (!failure.empty()) {
        const char *kind = failure.compare(0, 11, "write error") == 0 ? "" : "write error: ";
        fprintf(stderr, "%s: %s: %s%s%s\n", programName, path, kind, failure.c_str(),
                replaces ? "; the output path is left as it was" : "");
        return false;
    }
    if (!commitOutput()) {
        fprintf(stderr, "%s: %s: cannot rename %s onto it: %s\n", programName, path, temporaryPath(),
                strerror(errno));
        return false;
    }
    return true;
}

int finish(const std::vector<Input *> &inputs, Output &out, int32_t nz)
{
    int status = 0;
    for (Input *in : inputs) {
        fclose(in->file);
        in->file = nullptr;
        if (in->damagedSlices > 0) {
            fprintf(stderr, "%s: %s: %lld of %d slices damaged\n", programName, in->path,
                    static_cast<long long>(in->damagedSlices), nz);
            status = 1;
        }
    }
    std::string failure;
    if (out.damagedSlices > 0)
        failure = std::to_string(out.damagedSlices) + " of " + std::to_string(nz) + " slices not written whole";
    if (!closeOutput(out.file, out.path, failure))
        status = 1;
    out.file = nullptr;
    fflush(stderr);
    return status;
}

} // namespace vrdtool
