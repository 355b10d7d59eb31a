/* The slice engine: runs per-slice work over one or more volumes, slice by
   slice, on all cores, and writes one output volume or nothing.

   A run reads slice z of every input, hands the slices to a compute callback
   (on a worker thread, for several slices at once), then, in slice order on
   the calling thread, to an ordered callback, and writes the output slice as
   one block. With one thread this is a plain loop; with more, one thread
   reads the inputs' blocks in file order, workers decode, compute and
   deflate, and the calling thread writes. Either way a run prints, writes and
   ends exactly as the one-thread run: the same output bytes, the same block
   messages in the same order (a slice's messages appear when its turn comes
   in slice order), the same exit status, and a run that a fatal block ends
   leaves exactly the blocks before it.

   Memory does not grow with nz: at most two slices in flight per worker
   thread, never more than half of the machine's memory, and all of it, with
   the threads, is had when the engine is made, before the caller creates its
   output. Nothing is allocated per slice. */
#ifndef VRD_ENGINE_H
#define VRD_ENGINE_H

#include "codec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Produces slice z of an input that is not a volume file: count values of the
   input's dtype in this machine's byte order into slice, and the outcome into
   *result (zeroed before the call; set outcome and message to report a fault,
   filled to the bytes set). Called in slice order, one call at a time. */
typedef void (*VrdSourceFn)(void *user, int32_t z, void *slice, VrdBlockResult *result);

/* Computes slice z, on any worker thread and for several slices at once.
   inputs[k] holds count values of input k's dtype, in this machine's byte
   order; output (null without an output type) receives count values of the
   output type; scratch is resultBytes of memory of this slice's own, handed to
   the ordered callback afterwards. worker (0 .. vrdEngineWorkers - 1) tells
   which per-worker state to use. Must not throw. */
typedef void (*VrdComputeFn)(void *user, int32_t worker, int32_t z, const void *const *inputs, void *output,
                             int32_t count, void *scratch);

/* Called for every slice in slice order, on the thread that runs the engine,
   after compute and before the output block is written. blocks[k] is what
   reading input k's block gave. Results combined here do not depend on the
   thread count. */
typedef void (*VrdOrderedFn)(void *user, int32_t z, const void *const *inputs, const VrdBlockResult *blocks,
                             const void *output, void *scratch);

/* Sets up (returns 1) or releases (setUp 0) the state of one worker index
   while the engine is made or freed; a 0 from set-up makes the engine try
   fewer threads. */
typedef int32_t (*VrdWorkerFn)(void *user, int32_t worker, int32_t setUp);

/* One input: a volume file at its first slice block (as vrdOpenRead leaves
   it), or a source. header gives nx, ny and nz (equal for all inputs), dtype,
   and for a file endian and compression. */
typedef struct VrdEngineInput {
    FILE *file;
    const VrdHeader *header;
    VrdSourceFn source; /* used instead of file when not null */
} VrdEngineInput;

enum {
    /* A fatal block fault counts as a damaged slice and the run goes on
       (a file that ends inside a length field still ends the run there),
       instead of ending the process. */
    vrdEngineKeepGoing = 1,
    /* Block messages go to the ordered callback only, not to stderr. */
    vrdEngineQuiet = 2,
    /* After the last block, the output's icon image is rewritten as a
       preview of its middle slice (vrdWritePreview), when the output is a
       regular file. */
    vrdEnginePreview = 4,
    /* A progress line on stderr while the run takes longer than about a
       second, cleared before every message and at the end. */
    vrdEngineProgress = 8,
    /* compute depends on the input slices alone, not on z or earlier calls:
       a slice none of whose blocks gave a byte (so a repeat of the slice
       before) reuses the output, scratch and block of the slice before
       instead of computing and deflating them again. */
    vrdEngineRepeats = 16,
    /* The output's blocks may take at most 1032 times the block bytes read
       (the most deflate can shrink data by) plus 1 MiB: past that, one
       message, and the run ends there (the slices left count as not written
       whole), as after a failed write. */
    vrdEngineBoundOutput = 32
};

typedef struct VrdEngineSetup {
    int32_t inputCount;
    const VrdEngineInput *inputs;
    int32_t outputDtype;       /* 0: no output slice */
    int32_t outputCompression; /* vrdCompZlib or vrdCompNone, when there is an output */
    VrdDeflate deflate;        /* how zlib output blocks are deflated */
    size_t scratchBytes;       /* per-slice scratch for compute and ordered */
    VrdComputeFn compute;      /* null: the output slice is input 0's slice as read (in this
                                  machine's order), with no copy; outputDtype must then be
                                  input 0's dtype */
    VrdOrderedFn ordered;      /* may be null */
    VrdWorkerFn worker;        /* may be null */
    void *user;
    int32_t threads;           /* 0: VRD_THREADS when it is 1 to 256, else one per core */
    int32_t flags;             /* vrdEngine* flags */
    /* Reading into the caller's memory; input 0 must then be a file. */
    const int64_t *blockOffsets;            /* nz entries: where block z of input 0 starts (a block
                                               index's offsets); null: each right after the one before */
    void *(*sliceAt)(void *user, int32_t z); /* the memory that slice z of input 0 is read and decoded
                                               into (count values of its dtype), instead of the
                                               engine's own; called in slice order. null: the engine's */
} VrdEngineSetup;

typedef struct VrdEngine VrdEngine;

/* Threads as the engine chooses them: VRD_THREADS when it is a number from 1
   to 256, else one per core. */
int32_t vrdDefaultThreads(void);

/* Makes an engine: every buffer, codec and thread the run needs. With too
   little memory for the threads it asks for it takes fewer, down to one;
   returns null only when even one thread cannot have its buffers, or the
   setup is not valid, with a one-line reason in why (whySize bytes). */
VrdEngine *vrdEngineNew(const VrdEngineSetup *setup, char *why, size_t whySize);

/* Runs every slice. output: a stream on which writeVrdHeader has written the
   output's header and icon, or null to write nothing. Returns the number of
   slices done (nz, unless a keep-going run ended early at the end of a file).
   Fatal faults print their message and end the process, unless keep-going. */
int32_t vrdEngineRun(VrdEngine *engine, FILE *output);

/* Slices of input k whose blocks were not read whole (k = -1: output slices
   not written whole), after a run. */
int64_t vrdEngineDamaged(const VrdEngine *engine, int32_t k);

/* Threads the engine works with (1: the plain loop), and the number of worker
   indexes that compute may be called with. */
int32_t vrdEngineThreads(const VrdEngine *engine);
int32_t vrdEngineWorkers(const VrdEngine *engine);

/* Stops the threads and releases everything. */
void vrdEngineFree(VrdEngine *engine);

#ifdef __cplusplus
}
#endif

#endif
