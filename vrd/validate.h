/* Header validation and the library's error numbers. */
#ifndef VRD_VALIDATE_H
#define VRD_VALIDATE_H

#include "header.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Number of the last refusal of a reading operation; 0 at start, never reset. */
extern int32_t vrdErrno;

/* Message of every error number 0..36 (no line feeds):
    0 no vrd error                      19 nbands missing
    1 file open error                   20 dtype missing
    2 PNM header error                  21 comments missing
    3 incorrect PNM type                22 px equal 0 or missing
    4 icon image error                  23 py equal 0 or missing
    5 not an vrd format file            24 pz equal 0 or missing
    6 error reading PNM header line     25 rx sum is 0
    7 unknown 'endian' value            26 ry sum is 0
    8 unknown 'vtype' value             27 rz sum is 0
    9 unknown 'ctype' value             28 rx equal 0
   10 unknown 'nbands' value            29 ry equal 0
   11 unknown 'dtype' value             30 rz equal 0
   12 unknown 'units' value             31 too many transfer functions
   13 comment line allocation error     32 too few transfer functions
   14 allocation error                  33 transfer function array allocation error
   15 endian missing                    34 tfnum missing
   16 incorrect volume dimensions       35 file version newer than the library
   17 vtype missing                     36 compression type missing
   18 units missing
   (15 to 34 and 36 begin with "vrd format error - ".) */
extern const char *const vrdErrorMessages[37];

/* Returns 1 when h is acceptable, else 0 with vrdErrno set to the number of
   the first rule it breaks. Reads h only. */
int32_t vrdCheckHeader(const VrdHeader *h);

/* The rule vrdCheckHeader applies, without vrdErrno: returns 0 when h is
   acceptable, else the number of the first rule it breaks. Reentrant. */
int32_t vrdCheckHeaderR(const VrdHeader *h);

#ifdef __cplusplus
}
#endif

#endif
