#include "output.h"

#include <vrd/outfile.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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

} // namespace

FILE *openOutput(const char *path)
{
    // From its creation on, a stop signal removes the file.
    setHandlers();
    sigset_t stops, before;
    stopSignals(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    int32_t how = 0;
    const int fd = vrdOpenOutputFileUnnamed(path, finalPath, sizeof finalPath, tempPath, sizeof tempPath, &how);
    int why = errno;
    if (fd >= 0 && how == vrdOutputBeside)
        pending = 1;
    // The stream may be closed before the commit: the unnamed file keeps a
    // descriptor of its own to be linked through.
    if (fd >= 0 && how == vrdOutputUnnamed) {
        unnamed = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (unnamed < 0) {
            why = errno;
            close(fd);
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            errno = why;
            return nullptr;
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        errno = why;
        return nullptr;
    }
    FILE *file = fdopen(fd, "wb");
    if (file == nullptr) {
        why = errno;
        close(fd);
        discardOutput();
        errno = why;
        return nullptr;
    }
    if (replacesFile())
        stream = file;
    return file;
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
    bool renamed;
    if (unnamed >= 0) {
        renamed = vrdLinkOutputFile(unnamed, finalPath, tempPath, sizeof tempPath) == 0;
        const int why = errno;
        close(unnamed);
        unnamed = -1;
        errno = why;
    } else {
        renamed = vrdCommitOutputFile(tempPath, finalPath) == 0;
    }
    const int why = errno;
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
