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

void commitAtExit()
{
    if (!pending)
        return;
    if (stream != nullptr)
        fflush(stream);
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

// Creates a new file beside target, exclusively, with the mode a plain
// create gives; its name shows what it is. Returns the descriptor or -1.
int createTemporary(const std::string &target)
{
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (dir.size() + name.size() + 32 > sizeof tempPath || target.size() >= sizeof finalPath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long seed = (unsigned long long)now.tv_nsec ^ ((unsigned long long)getpid() << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        snprintf(tempPath, sizeof tempPath, "%s/.%s.partial-%06llx", dir.c_str(), name.c_str(), (seed >> 40) & 0xffffff);
        const int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

FILE *openOutput(const char *path)
{
    const std::string target = regularTarget(path);
    if (target.empty())
        return fopen(path, "wb");
    // From its creation on, a stop signal removes the file.
    setHandlers();
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    const int fd = createTemporary(target);
    const int created = errno;
    if (fd >= 0) {
        snprintf(finalPath, sizeof finalPath, "%s", target.c_str());
        pending = 1;
    }
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
    stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int why = errno;
        unlink(tempPath);
        close(fd);
        pending = 0;
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
    if (!pending)
        return true;
    // A stop signal now would leave the file behind: held until renamed.
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    const bool renamed = rename(tempPath, finalPath) == 0;
    const int why = errno;
    pending = 0; // a file that cannot be renamed is kept, with what it holds
    stream = nullptr;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = why;
    return renamed;
}

void ignoreFileSizeSignal()
{
    signal(SIGXFSZ, SIG_IGN);
}

} // namespace vrdtool
