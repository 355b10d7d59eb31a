/* Writes the mask of a volume: 1 where a voxel is at or above a threshold,
   0 elsewhere, as a vrdUChar volume, and prints how many voxels are set.
   Shows the slice engine from C: the per-slice work runs on every core, the
   count is summed in slice order, so it is the same for any thread count.
   Usage: vrd_threshold input.vrd output.vrd threshold */
#include <vrd/vrd.h>

#include <stdlib.h>
#include <string.h>

typedef struct {
    double threshold;
    int32_t dtype;
    long long set; /* summed in slice order */
} Job;

static double valueAt(const void *slice, int32_t dtype, int32_t i)
{
    const unsigned char *p = (const unsigned char *)slice + (size_t)i * (size_t)vrdVoxelSize(dtype);
    switch (dtype) {
    case vrdUChar: return *p;
    case vrdChar: return (signed char)*p;
    case vrdUInt12:
    case vrdUInt16: { uint16_t v; memcpy(&v, p, 2); return v; }
    case vrdInt16:
    case vrdIntHU: { int16_t v; memcpy(&v, p, 2); return v; }
    case vrdUInt32: { uint32_t v; memcpy(&v, p, 4); return v; }
    case vrdInt32: { int32_t v; memcpy(&v, p, 4); return v; }
    case vrdDouble: { double v; memcpy(&v, p, 8); return v; }
    default: { float v; memcpy(&v, p, 4); return v; }
    }
}

/* On a worker thread: the mask of one slice, and its count in the scratch. */
static void maskSlice(void *user, int32_t worker, int32_t z, const void *const *inputs, void *output,
                      int32_t count, void *scratch)
{
    const Job *job = user;
    unsigned char *mask = output;
    long long set = 0;
    (void)worker;
    (void)z;
    for (int32_t i = 0; i < count; ++i) {
        mask[i] = valueAt(inputs[0], job->dtype, i) >= job->threshold;
        set += mask[i];
    }
    memcpy(scratch, &set, sizeof set);
}

/* On the calling thread, in slice order. */
static void addCount(void *user, int32_t z, const void *const *inputs, const VrdBlockResult *blocks,
                     const void *output, void *scratch)
{
    Job *job = user;
    long long set;
    (void)z;
    (void)inputs;
    (void)blocks;
    (void)output;
    memcpy(&set, scratch, sizeof set);
    job->set += set;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: vrd_threshold input.vrd output.vrd threshold\n");
        return 2;
    }
    VrdHeader in;
    memset(&in, 0, sizeof in);
    FILE *file = vrdOpenRead(argv[1], &in);
    if (file == NULL) {
        fprintf(stderr, "vrd_threshold: %s: %s\n", argv[1], vrdErrorMessages[vrdErrno]);
        return 1;
    }
    if (in.nbands != 1) {
        fprintf(stderr, "vrd_threshold: %s: only single-band volumes\n", argv[1]);
        return 1;
    }
    char *end = NULL;
    Job job = {strtod(argv[3], &end), in.dtype, 0};
    if (argv[3][0] == '\0' || *end != '\0') {
        fprintf(stderr, "vrd_threshold: threshold: not a number: \"%s\"\n", argv[3]);
        return 2;
    }

    VrdEngineInput input = {file, &in, NULL};
    VrdEngineSetup setup;
    memset(&setup, 0, sizeof setup);
    setup.inputCount = 1;
    setup.inputs = &input;
    setup.outputDtype = vrdUChar;
    setup.outputCompression = in.compression;
    setup.scratchBytes = sizeof(long long);
    setup.compute = maskSlice;
    setup.ordered = addCount;
    setup.user = &job;
    setup.flags = vrdEnginePreview; /* the icon shows the middle slice of the mask */
    char why[200];
    VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
    if (engine == NULL) {
        fprintf(stderr, "vrd_threshold: %s: %s\n", argv[1], why);
        return 1;
    }

    /* The mask describes the same grid; its values are bytes. */
    VrdHeader out = in;
    out.dtype = vrdUChar;
    out.endian = vrdLittleEndian;
    out.hasBgThreshold = 0;
    FILE *output = fopen(argv[2], "wb");
    if (output == NULL) {
        perror(argv[2]);
        return 1;
    }
    writeVrdHeaderBlankIcon(output, &out, in.nx, in.ny);

    vrdEngineRun(engine, output);
    int damaged = vrdEngineDamaged(engine, 0) > 0 || vrdEngineDamaged(engine, -1) > 0;
    vrdEngineFree(engine);
    fclose(file);
    if (fclose(output) != 0 || damaged) {
        fprintf(stderr, "vrd_threshold: the volume was not read or written whole\n");
        return 1;
    }
    printf("%lld of %lld voxels at or above %g\n", job.set, (long long)in.nx * in.ny * in.nz, job.threshold);
    return 0;
}
