// What vrdconvert carries between a vrd header and a foreign Volume: voxel
// types, spacing, units and comments. Nothing here prints or exits; refusals
// and notes come back as text without the program's or the file's name.
#ifndef VRDCONVERT_MAPPING_H
#define VRDCONVERT_MAPPING_H

#include "foreign.h"

#include <vrd/vrd.h>

#include <string>
#include <vector>

namespace vrdconvert {

// The foreign type that holds a vrd dtype's values exactly (uint12 as
// uint16, intHU as int16).
Scalar scalarOfDtype(int32_t dtype);
// The vrd dtype of a foreign type; false for int64 and uint64, which no vrd
// type holds.
bool dtypeOfScalar(Scalar, int32_t *dtype);
// A vrd dtype of the same width, as the slice engine's container for values
// it only carries (types without a vrd dtype, between two foreign files).
int32_t containerDtype(Scalar);
// "uchar", "uint12", "intHU", ... for the vrd dtype codes; null for others.
const char *dtypeName(int32_t dtype);

// The --type argument of raw input: a foreign name (int8 ... float64) or a
// vrd one (uchar, char, uint12, uint16, int16, intHU, uint32, int32, float,
// double); dtype is then the vrd type to write (0 for the foreign names).
bool rawTypeFromName(const std::string &name, Scalar *type, int32_t *dtype);

// A vrd header as a foreign volume: sizes, type, this machine's byte order,
// spacing and units, comments. A rectilinear grid whose spacings vary along
// an axis is refused (false, *refusal), unless uniform, which takes each
// axis's mean and says so in *uniformNote. notes gets what the foreign file
// cannot hold (uint12/intHU meaning, background threshold, transfer functions).
bool volumeFromHeader(const VrdHeader &h, bool uniform, const char *target, Volume *v, std::string *refusal,
                      std::string *uniformNote, std::vector<std::string> *notes);

// A vrd header for a foreign volume, with the dtype to write and the
// compression: spacing 1 and millimetres where the volume gives none (said in
// notes), a cubic grid when the three spacings are equal, else regular.
VrdHeader headerFromVolume(const Volume &v, int32_t dtype, int32_t compression, std::vector<std::string> *notes);

// The comment line that carries an Orientation in a vrd file, and back.
// One line, "orientation: " then sections split by "; ":
//   RAS | LAS | LPS                        the world axes (x, y, z)
//   size NX NY NZ                          the grid it was given for
//   spacing SX SY SZ                       its spacing, at full precision
//   qform CODE: quatern B C D offset X Y Z qfac Q     (NIfTI, RAS only)
//   sform CODE: R00 R01 R02 R03, R10 ... R13, R20 ... R23   (NIfTI, RAS only)
//   directions (X,Y,Z) (X,Y,Z) (X,Y,Z)      (NRRD: the x, y and z axis vectors)
//   origin (X,Y,Z)                          (NRRD: the centre of voxel 0,0,0)
// CODE is scanner, aligned, talairach, mni or template (NIfTI's codes 1 to
// 5). Numbers are the shortest text that reads back to the same double.
extern const char kOrientationKey[]; // "orientation:"
std::string orientationComment(const Orientation &);
// False when the text is not such a line (or a malformed one).
bool parseOrientationComment(const std::string &text, Orientation *);


} // namespace vrdconvert

#endif
