// A reason for a refusal, formatted into a caller's buffer of some size:
// the library's calls that explain themselves without printing.
#ifndef VRD_REASON_INTERNAL_H
#define VRD_REASON_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace vrdpriv {

inline void reason(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
inline void reason(char *why, size_t size, const char *fmt, ...)
{
    if (why == nullptr || size == 0)
        return;
    va_list args;
    va_start(args, fmt);
    vsnprintf(why, size, fmt, args);
    va_end(args);
}

} // namespace vrdpriv

#endif
