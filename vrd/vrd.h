/* vrd: volume files that are also binary PNM images.
   The one header a caller includes; usable from C and C++. */
#ifndef VRD_VRD_H
#define VRD_VRD_H

#include <stdint.h>
#include <stdio.h>

#include "header.h"
#include "writer.h"
#include "reader.h"
#include "validate.h"
#include "slice.h"
#include "codec.h"
#include "engine.h"
#include "index.h"
#include "outfile.h"

#endif
