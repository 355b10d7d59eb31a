#include "vrd/header.h"

#include <cstdlib>
#include <cstdint>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// An array of count comments with room for one more. The header records no
// capacity, and callers may hand in arrays of their own (any malloc'd size),
// so the room an array has is asked of the allocator; when it is full the
// array doubles, so that n comments cost O(n) copies, not O(n^2).
char **growComments(char **comments, size_t count)
{
#ifdef __GLIBC__
    if (comments != nullptr && malloc_usable_size(comments) >= (count + 1) * sizeof(char *))
        return comments;
    const size_t room = count < 4 ? 4 : count * 2;
    if (room > SIZE_MAX / sizeof(char *))
        return nullptr;
    return static_cast<char **>(realloc(comments, room * sizeof(char *)));
#else
    return static_cast<char **>(realloc(comments, (count + 1) * sizeof(char *)));
#endif
}

} // namespace

extern "C" {

const char *vrdVersion(void)
{
    return VRD_VERSION_STRING;
}

VrdHeader *vrdClearHeader(VrdHeader *h)
{
    const int32_t major = h->versionMajor;
    const int32_t minor = h->versionMinor;
    *h = VrdHeader{};
    h->versionMajor = major;
    h->versionMinor = minor;
    return h;
}

int32_t vrdVoxelSize(int32_t dtype)
{
    switch (dtype) {
    case vrdUChar:
    case vrdChar:
        return 1;
    case vrdUInt12:
    case vrdUInt16:
    case vrdInt16:
    case vrdIntHU:
        return 2;
    case vrdUInt32:
    case vrdInt32:
    case vrdFloat:
        return 4;
    case vrdDouble:
        return 8;
    default:
        fprintf(stderr, "vrdVoxelSize: unknown voxel type\n");
        exit(1);
    }
}

int32_t vrdHeaderVoxelSize(const VrdHeader *h)
{
    return vrdVoxelSize(h->dtype);
}

void vrdAddHdrComment(VrdHeader *h, const char *text)
{
    // The array is grown first; a failed copy then ends the run like a failed
    // growth, so no caller ever sees an entry without its string.
    const int32_t count = h->commentCount < 0 ? 0 : h->commentCount;
    char **grown = nullptr;
    if (count < INT32_MAX)
        grown = growComments(h->comments, size_t(count));
    if (grown == nullptr) {
        fprintf(stderr, "vrdAddHdrComment: Allocation Error\n");
        exit(1);
    }
    h->comments = grown;
    char *copy = strdup(text);
    if (copy == nullptr) {
        fprintf(stderr, "vrdAddHdrComment: Allocation Error\n");
        exit(1);
    }
    grown[count] = copy;
    h->commentCount = count + 1;
}

}
