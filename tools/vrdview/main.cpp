// vrdview: looks through volume files in the browser and chooses volmap's window.
// Usage: vrdview [--port N] [--no-browser] [--budget MIB] FILE [FILE2]
#include "run.h"
#include "server.h"
#include "session.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

extern char **environ;

namespace {

const char usage[] = "[--port N] [--no-browser] [--budget MIB] FILE [FILE2]";
const char description[] =
    "Serves a page on 127.0.0.1 that shows the volume FILE: axial, coronal and\n"
    "sagittal planes, the voxel under the mouse, the header in words and vrdinfo's\n"
    "verdict, and a window editor whose trapezoid over the histogram is volmap's\n"
    "window, with the volmap command that writes what the page shows. With FILE2,\n"
    "volcmp's difference is drawn over FILE and its voxels counted. Prints the\n"
    "page's address with its token and opens the browser; Ctrl-C stops it.\n"
    "\n"
    "  --port N       listen on port N (default: a free port)\n"
    "  --no-browser   only print the address\n"
    "  --budget MIB   memory for slices and copies, in MiB (default 512)\n"
    "  --help         show this text\n"
    "  --version      show the program's and the library's version\n"
    "\n"
    "Environment: VRDVIEW_WEB (the page's folder). See vrdview(1).\n";

bool isFile(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The page's folder: VRDVIEW_WEB, else the one beside the program's bin
// folder (in the build tree and in any prefix, moved or not), else the one
// the install rules put it in.
std::string webRoot()
{
    if (const char *set = getenv("VRDVIEW_WEB"))
        return set;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string program(self, size_t(n));
        const std::string beside = program.substr(0, program.rfind('/')) + "/" VRDVIEW_WEB_FROM_BIN;
        if (isFile(beside + "/index.html"))
            return beside;
    }
    return VRDVIEW_WEB_DIR;
}

bool onPath(const char *program)
{
    const char *path = getenv("PATH");
    for (std::string rest = path ? path : ""; !rest.empty();) {
        const size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return false;
}

// The desktop's browser, when there is a desktop: xdg-open, detached, its
// output dropped.
void openBrowser(const std::string &url)
{
    if ((getenv("DISPLAY") == nullptr && getenv("WAYLAND_DISPLAY") == nullptr) || !onPath("xdg-open"))
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()), nullptr};
    pid_t pid;
    posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
}

int run(int argc, char **argv)
{
    if (vrdtool::answerHelpOrVersion(argc, argv, "vrdview", usage, description))
        return 0;
    vrdtool::setProgramName("vrdview");
    int port = 0;
    bool browser = true;
    uint64_t budget = uint64_t(512) << 20;
    std::vector<std::string> files;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto count = [&](const char *name, long lo, long hi) {
            if (i + 1 >= argc)
                vrdtool::refuse(argv[i], "needs a number");
            char *end = nullptr;
            const long v = strtol(argv[i + 1], &end, 10);
            if (*argv[i + 1] == '\0' || *end != '\0' || v < lo || v > hi)
                vrdtool::refuse(argv[i + 1], "%s must be a whole number from %ld to %ld", name, lo, hi);
            ++i;
            return v;
        };
        if (!optionsEnd && a == "--")
            optionsEnd = true;
        else if (!optionsEnd && a == "--port")
            port = int(count("the port", 1, 65535));
        else if (!optionsEnd && a == "--budget")
            budget = uint64_t(count("the budget", 16, 1 << 20)) << 20;
        else if (!optionsEnd && a == "--no-browser")
            browser = false;
        else if (!optionsEnd && a.size() > 1 && a[0] == '-')
            vrdtool::refuse(argv[i], "unknown option (--port, --no-browser, --budget, --help, --version)");
        else
            files.push_back(a);
    }
    if (files.empty() || files.size() > 2) {
        vrdtool::printUsage(argv[0], " [--port N] [--no-browser] [--budget MIB] FILE [FILE2]");
        return -1;
    }
    const std::string root = webRoot();
    if (!isFile(root + "/index.html"))
        vrdtool::refuse(root.c_str(), "the page's files are not there (set VRDVIEW_WEB to the web folder)");

    // vrdinfo's report runs inside the server: no progress line on the terminal.
    setenv("VRD_PROGRESS", "0", 1);
    // Ctrl-C, SIGTERM and SIGHUP stop the server from one thread of their own;
    // every other thread starts with them blocked.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN); // the browser opener is never waited for

    vrdview::Session session(files, budget);
    const std::string token = vrdview::newToken();
    vrdview::Server server(session, root, token);
    const int bound = server.bind(port);
    if (bound <= 0)
        vrdtool::refuse(port == 0 ? "127.0.0.1" : ("127.0.0.1:" + std::to_string(port)).c_str(),
                        "cannot listen there");
    session.start();
    const std::string url = "http://127.0.0.1:" + std::to_string(bound) + "/?token=" + token;
    printf("%s\n", url.c_str());
    fprintf(stderr, "vrdview: showing %s%s%s; Ctrl-C stops it\n", files[0].c_str(), files.size() > 1 ? " and " : "",
            files.size() > 1 ? files[1].c_str() : "");
    fflush(stdout);
    fflush(stderr);
    if (browser)
        openBrowser(url);

    // A signal can come before the server listens, when stop() has nothing
    // to stop yet: it is repeated until the server has ended.
    std::atomic<bool> ended{false};
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopping, &signal);
        while (!ended.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const bool served = server.run();
    ended.store(true);
    if (!served) {
        fprintf(stderr, "vrdview: 127.0.0.1:%d: cannot serve\n", bound);
        _exit(1);
    }
    stopper.join();
    // The background work on the files (vrdinfo's check of every block,
    // the count of differences) may have seconds left; nothing of it is
    // written anywhere, so the process ends now instead of waiting for it.
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    return vrdtool::guardedMain(run, argc, argv);
}
