#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vrdtool {

namespace {

// Kept in fixed buffers: the signal handler reads them.
char tempPath[PATH_MAX + 64];
char finalPath[PATH_MAX + 1];
volatile sig_atomic_t pending = 0; // the temporary file exists and is not renamed
FILE *stream = nullptr;
bool handlersSet = false;
// An output written as an unnamed file: a descriptor of its own (the stream
// may be closed before the commit), linked into place by commitOutput.
int unnamed = -1;

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal)
{
    if (pending)
        unlink(tempPath);
    pending = 0;
    // Ends the process as the signal would have (it is delivered on return).
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// A run that exits part-way (a fatal block) keeps the blocks written so far,
// unless writing them failed: then the old output stays.
void commitAtExit()
{
    if (!pending && unnamed < 0)
        return;
    if (stream != nullptr && (fflush(stream) != 0 || ferror(stream) != 0)) {
        discardOutput();
        return;
    }
    if (!commitOutput())
        fprintf(stderr, "%s: cannot rename %s onto it: %s\n", finalPath, tempPath, strerror(errno));
}

void stopSignals(sigset_t *set)
{
    sigemptyset(set);
    for (int signal : kStopSignals)
        sigaddset(set, signal);
}

void setHandlers()
{
    if (handlersSet)
        return;
    handlersSet = true;
    for (int signal : kStopSignals) {
        struct sigaction now {};
        // A signal the caller ignores (nohup's SIGHUP) stays ignored.
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    atexit(commitAtExit);
}

bool startsWith(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// The file that a plain open of path would write, when it is a regular file
// or does not exist yet; empty when path is anything else.
std::string regularTarget(const char *path)
{
    std::string target = path;
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(path, nullptr);
        if (real == nullptr)
            return ""; // a dangling link: written through, as a plain open does
        target = real;
        free(real);
    }
    if (startsWith(target, "/dev/") || startsWith(target, "/proc/"))
        return "";
    if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "";
    return target;
}

std::string directoryOf(const std::string &target)
{
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
}

// A fresh name beside the output, that shows what the file is, into tempPath.
void nameTemporary(const std::string &target)
{
    static unsigned long long seed = 0;
    if (seed == 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        seed = (unsigned long long)now.tv_nsec ^ ((unsigned long long)getpid() << 32);
    }
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    snprintf(tempPath, sizeof tempPath, "%s/.%s.partial-%06llx", directoryOf(target).c_str(), name.c_str(),
             (seed >> 40) & 0xffffff);
}

// Creates a new file beside target, exclusively, with the mode a plain
// create gives; its name shows what it is. Returns the descriptor or -1.
int createTemporary(const std::string &target)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        nameTemporary(target);
        const int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The path through which an unnamed file's descriptor can be linked.
std::string descriptorPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// An unnamed file in target's directory (where the filesystem has them),
// with a descriptor of its own that stays open until the commit, so that a
// run killed any way leaves nothing behind. -1 when there is none.
int createUnnamed(const std::string &target)
{
#ifdef O_TMPFILE
    const int fd = open(directoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    // Linked later through /proc; without it the file could never be named.
    const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (kept < 0 || access(descriptorPath(kept).c_str(), F_OK) != 0) {
        close(fd);
        if (kept >= 0)
            close(kept);
        return -1;
    }
    unnamed = kept;
    return fd;
#else
    (void)target;
    return -1;
#endif
}

// A replaced output keeps its rights: the group where the caller may set it,
// then the permission bits (set after, since a change of group clears the
// set-group-ID bit).
void keepRights(int fd, const std::string &target)
{
    struct stat old;
    if (stat(target.c_str(), &old) != 0)
        return;
    (void)!fchown(fd, (uid_t)-1, old.st_gid);
    (void)!fchmod(fd, old.st_mode & 07777);
}

} // namespace

FILE *openOutput(const char *path)
{
    const std::string target = regularTarget(path);
    if (target.empty())
        return fopen(path, "wb");
    if (target.size() + 32 > sizeof tempPath || target.size() >= sizeof finalPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    snprintf(finalPath, sizeof finalPath, "%s", target.c_str());
    // From its creation on, a stop signal removes the file.
    setHandlers();
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    int fd = createUnnamed(target);
    if (fd < 0) {
        fd = createTemporary(target);
        if (fd >= 0)
            pending = 1;
    }
    const int created = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = created;
    if (fd < 0) {
        // A writable file in a directory that takes no new files is still
        // written, in place, as before.
        const int why = errno;
        struct stat st;
        if ((why == EACCES || why == EPERM || why == EROFS) && stat(target.c_str(), &st) == 0 &&
            access(target.c_str(), W_OK) == 0)
            return fopen(path, "wb");
        errno = why;
        return nullptr;
    }
    keepRights(fd, target);
    stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int why = errno;
        close(fd);
        discardOutput();
        errno = why;
    }
    return stream;
}

const char *temporaryPath()
{
    return tempPath;
}

bool commitOutput()
{
    if (!pending && unnamed < 0)
        return true;
    // A stop signal now would leave the file behind: held until renamed.
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    bool linked = true;
    int why = 0;
    if (unnamed >= 0) {
        // An existing name cannot be linked over: the file gets a name of its
        // own beside the output first, then is renamed onto it.
        const std::string target = finalPath;
        linked = false;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            nameTemporary(target);
            linked = linkat(AT_FDCWD, descriptorPath(unnamed).c_str(), AT_FDCWD, tempPath, AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST)
                break;
        }
        why = errno;
        close(unnamed);
        unnamed = -1;
    }
    const bool renamed = linked && rename(tempPath, finalPath) == 0;
    if (linked && !renamed)
        why = errno;
    pending = 0; // a file that cannot be renamed is kept, with what it holds
    stream = nullptr;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = why;
    return renamed;
}

void discardOutput()
{
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    if (pending)
        unlink(tempPath);
    pending = 0;
    if (unnamed >= 0)
        close(unnamed); // the file goes with its last descriptor
    unnamed = -1;
    stream = nullptr;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool replacesFile()
{
    return pending || unnamed >= 0;
}

void ignoreFileSizeSignal()
{
    signal(SIGXFSZ, SIG_IGN);
}

} // namespace vrdtool
