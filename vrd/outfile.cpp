#include "vrd/outfile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Plain C strings only: C programs link the library without the C++ run time.
namespace {

bool startsWith(const char *s, const char *prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// Stores in target the file that a plain open of path would write, when it
// is a regular file or does not exist yet, and returns true; false when path
// is anything else (or errno ENAMETOOLONG when target cannot hold it).
bool regularTarget(const char *path, char *target, size_t size)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(path, nullptr);
        if (real == nullptr)
            return false; // a dangling link: written through, as a plain open does
        const int n = snprintf(target, size, "%s", real);
        free(real);
        if (n < 0 || size_t(n) >= size) {
            errno = ENAMETOOLONG;
            return false;
        }
    } else {
        const int n = snprintf(target, size, "%s", path);
        if (n < 0 || size_t(n) >= size) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    if (startsWith(target, "/dev/") || startsWith(target, "/proc/"))
        return false;
    return !(stat(target, &st) == 0 && !S_ISREG(st.st_mode));
}

// Creates a new file beside target, exclusively, with the mode a plain
// create gives; its name shows what it is. Returns the descriptor or -1.
int createTemporary(const char *target, char *temporary, size_t size)
{
    const char *slash = strrchr(target, '/');
    const char *name = slash == nullptr ? target : slash + 1;
    const int dirLength = slash == nullptr ? 1 : slash == target ? 1 : int(slash - target);
    const char *dir = slash == nullptr ? "." : target;
    if (size_t(dirLength) + strlen(name) + 32 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Threads of one process differ in their stacks, so the seed tells them apart.
    unsigned long long seed = (unsigned long long)now.tv_nsec ^ ((unsigned long long)getpid() << 32) ^
                              (unsigned long long)(uintptr_t)&now;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        snprintf(temporary, size, "%.*s/.%s.partial-%06llx", dirLength, dir, name, (seed >> 40) & 0xffffff);
        const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

int openPlain(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

} // namespace

extern "C" int vrdOpenOutputFile(const char *path, char *target, size_t targetSize, char *temporary,
                                 size_t temporarySize, int32_t *how)
{
    if (temporarySize > 0)
        temporary[0] = '\0';
    errno = 0;
    if (!regularTarget(path, target, targetSize)) {
        if (errno == ENAMETOOLONG)
            return -1;
        if (targetSize > 0)
            target[0] = '\0';
        *how = vrdOutputDirect;
        return openPlain(path);
    }
    *how = vrdOutputBeside;
    const int fd = createTemporary(target, temporary, temporarySize);
    if (fd >= 0)
        return fd;
    const int why = errno;
    if (temporarySize > 0)
        temporary[0] = '\0';
    // A writable file in a folder that takes no new files is still written,
    // in place.
    struct stat st;
    if ((why == EACCES || why == EPERM || why == EROFS) && stat(target, &st) == 0 && access(target, W_OK) == 0) {
        *how = vrdOutputInPlace;
        return openPlain(path);
    }
    errno = why;
    return -1;
}

extern "C" int vrdCommitOutputFile(const char *temporary, const char *target)
{
    return rename(temporary, target);
}
