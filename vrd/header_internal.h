// Header steps that the header's own operations and the reader share; not
// part of the library's interface.
#ifndef VRD_HEADER_INTERNAL_H
#define VRD_HEADER_INTERNAL_H

#include <cstddef>

namespace vrdpriv {

// The comment array of count entries with room for one more, grown by
// doubling (null when memory runs out; the array given is then unchanged).
char **growComments(char **comments, size_t count);

} // namespace vrdpriv

#endif
