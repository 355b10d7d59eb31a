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

// Writes a fresh name beside target, that shows what the file is, into
// temporary; false (errno ENAMETOOLONG) when temporary cannot hold it.
bool nameBeside(const char *target, char *temporary, size_t size, unsigned long long *seed)
{
    const char *slash = strrchr(target, '/');
    const char *name = slash == nullptr ? target : slash + 1;
    const int dirLength = slash == nullptr ? 1 : slash == target ? 1 : int(slash - target);
    const char *dir = slash == nullptr ? "." : target;
    if (size_t(dirLength) + strlen(name) + 32 > size) {
        errno = ENAMETOOLONG;
        return false;
    }
    *seed = *seed * 6364136223846793005ull + 1442695040888963407ull;
    snprintf(temporary, size, "%.*s/.%s.partial-%06llx", dirLength, dir, name, (*seed >> 40) & 0xffffff);
    return true;
}

unsigned long long freshSeed()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Threads of one process differ in their stacks, so the seed tells them apart.
    return (unsigned long long)now.tv_nsec ^ ((unsigned long long)getpid() << 32) ^ (unsigned long long)(uintptr_t)&now;
}

// Creates a new file beside target, exclusively, with the mode a plain
// create gives. Returns the descriptor or -1.
int createTemporary(const char *target, char *temporary, size_t size)
{
    unsigned long long seed = freshSeed();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!nameBeside(target, temporary, size, &seed))
            return -1;
        const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The folder of target, for an unnamed file in it.
bool folderOf(const char *target, char *folder, size_t size)
{
    const char *slash = strrchr(target, '/');
    const int n = slash == nullptr ? snprintf(folder, size, ".")
                                   : snprintf(folder, size, "%.*s", slash == target ? 1 : int(slash - target), target);
    return n >= 0 && size_t(n) < size;
}

void descriptorPath(int fd, char *out, size_t size)
{
    snprintf(out, size, "/proc/self/fd/%d", fd);
}

// An unnamed file in target's folder, or -1 where the filesystem has none or
// it could never be named (no /proc to link it through).
int createUnnamed(const char *target)
{
#ifdef O_TMPFILE
    char folder[PATH_MAX];
    if (!folderOf(target, folder, sizeof folder))
        return -1;
    const int fd = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    char link[64];
    descriptorPath(fd, link, sizeof link);
    if (access(link, F_OK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
#else
    (void)target;
    return -1;
#endif
}

// A replaced output keeps its rights: the group where the caller may set it,
// then the permission bits (set after, since a change of group clears the
// set-group-ID bit).
void keepRights(int fd, const char *target)
{
    struct stat old;
    if (stat(target, &old) != 0)
        return;
    (void)!fchown(fd, (uid_t)-1, old.st_gid);
    (void)!fchmod(fd, old.st_mode & 07777);
}

int openPlain(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

} // namespace

namespace {

int openOutput(const char *path, char *target, size_t targetSize, char *temporary, size_t temporarySize,
               int32_t *how, bool unnamed)
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
    int fd = unnamed ? createUnnamed(target) : -1;
    if (fd >= 0) {
        *how = vrdOutputUnnamed;
    } else {
        *how = vrdOutputBeside;
        fd = createTemporary(target, temporary, temporarySize);
    }
    if (fd >= 0) {
        keepRights(fd, target);
        return fd;
    }
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

} // namespace

extern "C" int vrdOpenOutputFile(const char *path, char *target, size_t targetSize, char *temporary,
                                 size_t temporarySize, int32_t *how)
{
    return openOutput(path, target, targetSize, temporary, temporarySize, how, false);
}

extern "C" int vrdOpenOutputFileUnnamed(const char *path, char *target, size_t targetSize, char *temporary,
                                        size_t temporarySize, int32_t *how)
{
    return openOutput(path, target, targetSize, temporary, temporarySize, how, true);
}

extern "C" int vrdLinkOutputFile(int fd, const char *target, char *temporary, size_t temporarySize)
{
    // An existing name cannot be linked over: the file gets a name of its
    // own beside the target first, then is renamed onto it.
    char link[64];
    descriptorPath(fd, link, sizeof link);
    unsigned long long seed = freshSeed();
    bool linked = false;
    for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
        if (!nameBeside(target, temporary, temporarySize, &seed))
            return -1;
        linked = linkat(AT_FDCWD, link, AT_FDCWD, temporary, AT_SYMLINK_FOLLOW) == 0;
        if (!linked && errno != EEXIST)
            break;
    }
    if (!linked) {
        const int why = errno;
        if (temporarySize > 0)
            temporary[0] = '\0';
        errno = why;
        return -1;
    }
    return rename(temporary, target);
}

extern "C" int vrdCommitOutputFile(const char *temporary, const char *target)
{
    return rename(temporary, target);
}
