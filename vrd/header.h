/* Header record of a volume file, its codes, and the small operations on it. */
#ifndef VRD_HEADER_H
#define VRD_HEADER_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Library version; matches the CMake project version. */
#define VRD_VERSION_MAJOR 1
#define VRD_VERSION_MINOR 0
#define VRD_VERSION_PATCH 0
#define VRD_VERSION_STRING "1.0.0"

/* The volume description. The arrays rx, ry, rz, comments and tfdata and every
   string they point to are heap data owned by the header; the library never
   frees them. Copying the record copies the pointers, so a copy shares them. */
typedef struct VrdHeader {
    int32_t versionMajor;   /* format version from the file's format line */
    int32_t versionMinor;
    int32_t compression;    /* vrdCompZlib, vrdCompNone; 0 = not given */
    int32_t endian;         /* vrdBigEndian, vrdLittleEndian; 0 = not given */
    int32_t nx;             /* voxels per row (slice width) */
    int32_t ny;             /* rows per slice (slice height) */
    int32_t nz;             /* number of slices */
    int32_t vtype;          /* grid type, vrdCubic .. vrdRectXYZ; 0 = not given */
    float px;               /* spacing along x, y and z */
    float py;
    float pz;
    float *rx;              /* nx column spacings (vrdRectXYZ), else null */
    float *ry;              /* ny row spacings (vrdRectXYZ), else null */
    float *rz;              /* nz slice spacings (vrdRectZ, vrdRectXYZ), else null */
    int32_t units;          /* vrdUum, vrdUmm, vrdUm; 0 = not given */
    int32_t nbands;         /* values per voxel: 1 grey, 3 colour, or any positive count */
    int32_t dtype;          /* voxel data type, vrdUChar .. vrdDouble; 0 = not given */
    int32_t hasBgThreshold; /* nonzero when a background threshold is present */
    float bgThresholdF;     /* threshold of vrdFloat and vrdDouble volumes */
    int32_t bgThresholdI;   /* threshold of integer volumes */
    int32_t commentCount;   /* entries of comments */
    char **comments;        /* commentCount heap strings */
    int32_t tfnum;          /* number of transfer functions */
    char **tfdata;          /* 5 * tfnum strings: d, r, g, b, a of each function */
} VrdHeader;

/* compression */
enum { vrdCompZlib = 1, vrdCompNone = 2 };
/* endian: byte order of the slice data */
enum { vrdBigEndian = 1, vrdLittleEndian = 2 };
/* vtype: grid type */
enum { vrdCubic = 1, vrdRegular = 2, vrdRectZ = 3, vrdRectXYZ = 4 };
/* units */
enum { vrdUum = 1, vrdUmm = 2, vrdUm = 3 };
/* dtype: voxel data type */
enum {
    vrdUChar = 1, vrdChar = 2, vrdUInt12 = 3, vrdUInt16 = 4, vrdInt16 = 5,
    vrdIntHU = 6, vrdUInt32 = 7, vrdInt32 = 8, vrdFloat = 9, vrdDouble = 10
};

/* The version of the library the program runs with, "MAJOR.MINOR.PATCH";
   may differ from VRD_VERSION_STRING of the header it was built against. */
const char *vrdVersion(void);

/* Sets every field to zero (pointers null) except versionMajor and
   versionMinor, which keep their values. Frees nothing. Returns h. */
VrdHeader *vrdClearHeader(VrdHeader *h);

/* Bytes per value of a dtype code (1, 2, 4 or 8). An unknown code writes
   "vrdVoxelSize: unknown voxel type" to stderr and exits with status 1. */
int32_t vrdVoxelSize(int32_t dtype);

/* vrdVoxelSize(h->dtype). */
int32_t vrdHeaderVoxelSize(const VrdHeader *h);

/* Appends a heap copy of text to h->comments and increments commentCount.
   If memory runs out, writes "vrdAddHdrComment: Allocation Error" to stderr
   and exits with status 1; the header never holds a missing string. */
void vrdAddHdrComment(VrdHeader *h, const char *text);

#ifdef __cplusplus
}
#endif

#endif
