// What the programs share: opening and checking inputs, the output header
// and file, setting up the slice engine, and the report at the end of a run.
#ifndef VRDTOOL_RUN_H
#define VRDTOOL_RUN_H

#include <vrd/vrd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vrdtool {

struct Input {
    const char *path = nullptr;
    FILE *file = nullptr;
    VrdHeader header{};
    int32_t voxelSize = 0;
    int64_t damagedSlices = 0; // slices whose block was not read whole
};

// What a program's compute callback gets from the engine as its user data.
struct Job {
    std::vector<int32_t> dtypes; // of each input
    const void *params = nullptr;
};

struct Output {
    const char *path = nullptr;
    FILE *file = nullptr;
    VrdHeader header{};
    int64_t damagedSlices = 0; // slices whose block was not written whole
};

// The program's name in its messages.
void setProgramName(const char *name);

// Runs a program's main: a C++ exception that reaches it (std::bad_alloc,
// std::system_error, any other), or one that would end the process through
// std::terminate, ends the run with one line and exit status 1, never abort().
int guardedMain(int (*body)(int, char **), int argc, char **argv);

// Answers "--help" (the usage and what the program does, on stdout) or
// "--version" ("<program> (vrd) <library version>") given as the first and
// only argument. Returns true when it answered; the caller then ends with 0.
bool answerHelpOrVersion(int argc, char **argv, const char *program, const char *usage,
                         const char *description);

// The value of a number argument, as atof would give it, for text that is
// wholly a floating-point number ("10", "-0.5", "1e3", "inf", "nan"); any
// other text (empty, "abc", "1O", "3x") is refused with a line naming the
// argument, before any output exists.
double numberArgument(const char *text, const char *name);

// Writes the three usage lines, each flushed; the caller then ends with -1.
void printUsage(const char *invocation, const char *arguments);

// One line "<program>: <path>: <reason>" on stderr, then exit status -1.
[[noreturn]] void refuse(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Opens an input with the library; an input it refuses ends the run.
void openInput(Input &in, const char *path);

// Refuses an input whose slices this toolkit cannot hold: more than one
// band, or a slice that does not fit an int32 count or a 32-bit block.
void checkInput(const Input &in);

// The fewest bytes a block can hold a slice of sliceBytes in: the slice
// itself for a raw block; deflate cannot shrink data by more than 1032 to 1.
uint64_t leastBlockBytes(uint64_t sliceBytes, int32_t compression);

// Refuses an input that cannot hold its first slice: its first block's
// length field is missing, fewer bytes follow it than it announces (for a
// pipe: than leastBlockBytes), or it announces fewer than leastBlockBytes.
// Looks at the block and returns a regular file to where it was; a pipe's
// stream is replaced by one that serves the bytes read ahead again. A file
// that holds some blocks but not all is left to the run, which reports it
// as damaged.
void checkFirstBlock(Input &in);

// The output header: the input's, describing float32 slices in this
// machine's byte order.
VrdHeader floatHeaderFrom(const VrdHeader &in);

// How zlib output blocks are deflated: VRD_DEFLATE (zlib, zlib:LEVEL,
// libdeflate, libdeflate:LEVEL), by default zlib at its default level. An
// unknown value is refused.
VrdDeflate deflateSetting();

// The engine flags a program runs with: vrdEnginePreview when it writes a
// volume, vrdEngineProgress when standard error is a terminal (VRD_PROGRESS=0
// turns it off, VRD_PROGRESS=1 on whatever stderr is).
int32_t engineFlags(bool writesVolume);

// Sets up the slice engine for compute over the inputs into float32 slices
// with the first input's compression. Everything the run needs is had here,
// before the output exists; when not even one thread can have it, the run is
// refused with a line naming the first input.
VrdEngine *prepareRun(const std::vector<Input *> &inputs, VrdComputeFn compute, Job &job);

// Runs every slice into out and counts the damaged slices of every file.
void runSlices(VrdEngine *engine, const std::vector<Input *> &inputs, Output &out);

// A file a run reads: an open stream, or (file null) a path.
struct InputFile {
    const char *path = nullptr;
    FILE *file = nullptr;
};

// Refuses an output path that names the same file as one of the inputs.
void refuseSameFile(const char *output, const std::vector<InputFile> &inputs);

// Opens the output with openOutput, or refuses it when it cannot be created.
FILE *createOutputFile(const char *path);

// Creates the output file and writes its header and a blank icon. Refuses an
// output that is the same file as one of the inputs, or cannot be created.
void createOutput(Output &out, const std::vector<const Input *> &inputs);
void createOutputFor(Output &out, const std::vector<InputFile> &inputs);

// Closes the output stream and puts the output in place, or, when writing it
// failed (failure not empty, a stream error, a failed close), removes what
// was written and reports it in one line naming path. True when in place.
bool closeOutput(FILE *file, const char *path, std::string failure);

// Closes the inputs, then the output, and reports every damaged file.
// Returns the exit status: 0 after a complete, correct run, else 1.
int finish(const std::vector<Input *> &inputs, Output &out, int32_t nz);

} // namespace vrdtool

#endif
