// Outputs are never half-replaced: runs stopped by a signal keep the old
// output, concurrent runs leave one whole output, a FIFO is written directly,
// a file-size limit is a write error. Inputs that are FIFOs let a test stop a
// run at a known point: the program waits for blocks that the test holds back.
#include "volumes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using namespace testkit;

const std::string volmap = VOLMAP_PROGRAM;
constexpr int32_t kNx = 16, kNy = 8, kNz = 6;

Bytes sliceOf(int32_t z, float scale)
{
    std::vector<float> v(size_t(kNx) * kNy);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = float(i % 41) * scale + float(z);
    return Bytes(reinterpret_cast<const char *>(v.data()), v.size() * 4);
}

Bytes volumeOf(float scale)
{
    std::vector<Bytes> slices;
    for (int32_t z = 0; z < kNz; ++z)
        slices.push_back(sliceOf(z, scale));
    return volume(header(kNx, kNy, kNz), slices);
}

struct Outputs : TempDirTest {
    void SetUp() override
    {
        TempDirTest::SetUp();
        signal(SIGPIPE, SIG_IGN);
    }
    std::vector<std::string> windowed(const std::string &in, const std::string &out)
    {
        return {volmap, in, out, "0", "10", "20", "40"};
    }
    // Temporary files left in the directory.
    int leftovers() const
    {
        int n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            n += entry.path().filename().string().find(".partial-") != std::string::npos;
        return n;
    }
    // Whether every child started has its new output open: a file of the
    // directory that is not one of the test's (unnamed ones show as
    // "#NUMBER (deleted)", named ones as ".NAME.partial-XXXXXX").
    bool outputsOpen() const
    {
        const std::string canonical = std::filesystem::canonical(dir).string() + "/";
        for (pid_t pid : children) {
            bool open = false;
            std::error_code error;
            for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
                const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
                open = open || (target.rfind(canonical, 0) == 0 && target.find(".fifo") == std::string::npos &&
                                target.find(".vrd") == std::string::npos) ||
                       target.find(".partial-") != std::string::npos;
            }
            if (!open)
                return false;
        }
        return !children.empty();
    }
    mutable std::vector<pid_t> children;
    // Starts args in dir with VRD_THREADS=2; returns the child.
    pid_t start(const std::vector<std::string> &args) const
    {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            if (chdir(dir.c_str()) != 0 || null < 0 || dup2(null, 2) < 0 || setenv("VRD_THREADS", "2", 1) != 0)
                _exit(120);
            execv(argv[0], argv.data());
            _exit(121);
        }
        children.push_back(pid);
        return pid;
    }
    bool waitFor(bool (Outputs::*condition)() const) const
    {
        for (int i = 0; i < 10000 && !(this->*condition)(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return (this->*condition)();
    }
};

// What a terminal shows for text: a carriage return goes back to the start
// of the line, and what follows overwrites it; trailing blanks dropped.
std::string onScreen(const std::string &text)
{
    std::string screen, line;
    size_t column = 0;
    for (char c : text) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            screen += line.substr(0, line.find_last_not_of(' ') + 1) + '\n';
            line.clear(), column = 0;
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    return screen + line.substr(0, line.find_last_not_of(' ') + 1);
}

bool writeAll(int fd, const Bytes &bytes)
{
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

TEST_F(Outputs, AStoppedRunKeepsTheOldOutputAndLeavesNoTemporaryFile)
{
    const Bytes file = volumeOf(1), prefix = volume(header(kNx, kNy, kNz), {});
    // SIGKILL too: the new output is an unnamed file until the run ends.
    for (int stop : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(stop));
        writeFile(path("out.vrd"), "old content");
        ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0644), 0);
        const pid_t pid = start(windowed("in.fifo", "out.vrd"));
        const int fifo = open(path("in.fifo").c_str(), O_WRONLY);
        ASSERT_GE(fifo, 0);
        ASSERT_TRUE(writeAll(fifo, file.substr(0, prefix.size()) + block(deflated(sliceOf(0, 1)))));
        ASSERT_TRUE(waitFor(&Outputs::outputsOpen)); // the run is under way, waiting for the next block
        kill(pid, stop);
        children.clear();
        int status = 0;
        waitpid(pid, &status, 0);
        close(fifo);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == stop) << status;
        EXPECT_EQ(readFile(path("out.vrd")), "old content");
        EXPECT_EQ(leftovers(), 0);
        std::filesystem::remove(path("in.fifo"));
    }
}

TEST_F(Outputs, ConcurrentRunsLeaveTheWholeOutputOfOne)
{
    const Bytes a = volumeOf(1), b = volumeOf(3), prefix = volume(header(kNx, kNy, kNz), {});
    writeFile(path("a.vrd"), a), writeFile(path("b.vrd"), b);
    ASSERT_EQ(run(dir, windowed("a.vrd", "one.vrd")).status, 0);
    ASSERT_EQ(run(dir, windowed("b.vrd", "two.vrd")).status, 0);
    ASSERT_TRUE(mkfifo(path("a.fifo").c_str(), 0644) == 0 && mkfifo(path("b.fifo").c_str(), 0644) == 0);
    const pid_t first = start(windowed("a.fifo", "out.vrd")), second = start(windowed("b.fifo", "out.vrd"));
    const int fa = open(path("a.fifo").c_str(), O_WRONLY), fb = open(path("b.fifo").c_str(), O_WRONLY);
    ASSERT_TRUE(fa >= 0 && fb >= 0);
    // Both have their outputs open (a pipe's first block is read ahead
    // before the output is made) before either writes a slice; the blocks
    // then arrive in turn.
    const std::vector<Bytes> blocksA = blocksAfter(a, prefix.size()), blocksB = blocksAfter(b, prefix.size());
    ASSERT_TRUE(writeAll(fa, a.substr(0, prefix.size()) + block(blocksA[0])) &&
                writeAll(fb, b.substr(0, prefix.size()) + block(blocksB[0])));
    ASSERT_TRUE(waitFor(&Outputs::outputsOpen));
    for (size_t z = 1; z < blocksA.size(); ++z)
        ASSERT_TRUE(writeAll(fa, block(blocksA[z])) && writeAll(fb, block(blocksB[z])));
    close(fa), close(fb);
    int sa = 0, sb = 0;
    waitpid(first, &sa, 0), waitpid(second, &sb, 0);
    EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0 && WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
    const Bytes out = readFile(path("out.vrd"));
    EXPECT_TRUE(out == readFile(path("one.vrd")) || out == readFile(path("two.vrd")));
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(Outputs, FifosAndFileSizeLimitsAreWrittenDirectly)
{
    writeFile(path("in.vrd"), volumeOf(1));
    ASSERT_EQ(run(dir, windowed("in.vrd", "plain.vrd")).status, 0);
    struct stat st;
    ASSERT_EQ(stat(path("plain.vrd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~0022u) << "the mode of a plain create under umask 022";

    ASSERT_EQ(mkfifo(path("out.fifo").c_str(), 0644), 0);
    Bytes copy;
    std::thread reader([&] { copy = readFile(path("out.fifo")); });
    const Result r = run(dir, windowed("in.vrd", "out.fifo"));
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    // A pipe cannot be repositioned for the preview: it keeps the blank icon.
    const Bytes plain = readFile(path("plain.vrd"));
    EXPECT_TRUE(sameBytes(withIcon(plain, header(kNx, kNy, kNz), Bytes(size_t(kNx) * kNy, '\0')), copy));
    EXPECT_NE(plain, copy);

    // Past a file-size limit: a write error, as on a full device, said once,
    // status 1, no signal; nothing is left at the path, and an old output
    // stays whole.
    const Bytes prefix = volume(header(kNx, kNy, kNz), {});
    for (bool old : {false, true}) {
        if (old)
            writeFile(path("limited.vrd"), "old content");
        const Result limited = run(dir, windowed("in.vrd", "limited.vrd"), nullptr, "2", 0, prefix.size() + 300);
        EXPECT_EQ(limited.status, 1) << limited.err;
        EXPECT_NE(limited.err.find("limited.vrd: write error"), std::string::npos) << limited.err;
        // At most the block's message and the file's.
        EXPECT_LE(std::count(limited.err.begin(), limited.err.end(), '\n'), 2) << limited.err;
        EXPECT_EQ(std::filesystem::exists(path("limited.vrd")), old);
        if (old) {
            EXPECT_EQ(readFile(path("limited.vrd")), "old content");
        }
        EXPECT_EQ(leftovers(), 0);
    }
}

TEST_F(Outputs, AReplacedOutputKeepsItsRights)
{
    writeFile(path("in.vrd"), volumeOf(1));
    struct stat st;
    for (mode_t mode : {0600, 0640, 0751}) {
        writeFile(path("out.vrd"), "old");
        ASSERT_EQ(chmod(path("out.vrd").c_str(), mode), 0);
        // A group the caller belongs to, or, for root, any other.
        const gid_t group = getuid() == 0 ? 4242 : getgid();
        ASSERT_EQ(chown(path("out.vrd").c_str(), (uid_t)-1, group), 0);
        ASSERT_EQ(run(dir, windowed("in.vrd", "out.vrd")).status, 0);
        ASSERT_EQ(stat(path("out.vrd").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_gid, group);
        EXPECT_GT(st.st_size, 100);
    }
    EXPECT_EQ(leftovers(), 0);
}

// A small tmpfs fills up part-way through the output: the old output stays
// whole, the new one is removed, and the write error is said once.
TEST_F(Outputs, AFullDiskKeepsTheOldOutput)
{
    if (getuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mount = path("small");
    std::filesystem::create_directory(mount);
    if (::system(("mount -t tmpfs -o size=64k tmpfs " + mount + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    // Random values: about 200 KiB of blocks whichever compression.
    constexpr int32_t nx = 128, ny = 128, nz = 4;
    std::vector<Bytes> slices;
    uint32_t seed = 1;
    for (int32_t z = 0; z < nz; ++z) {
        Bytes slice(size_t(nx) * ny * 4, '\0');
        for (char &c : slice)
            c = char((seed = seed * 1103515245u + 12345u) >> 24);
        slices.push_back(slice);
    }
    writeFile(path("in.vrd"), volume(header(nx, ny, nz), slices));
    writeFile(mount + "/out.vrd", "old content");
    for (const char *threads : {"1", "2"}) {
        const Result full = run(dir, {volmap, "in.vrd", "small/out.vrd", "0", "10", "20", "40"}, nullptr, threads);
        EXPECT_EQ(full.status, 1) << full.err;
        EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 2) << full.err;
        EXPECT_NE(full.err.find("out.vrd: write error"), std::string::npos) << full.err;
        EXPECT_EQ(readFile(mount + "/out.vrd"), "old content");
        size_t files = 0;
        for (const auto &entry : std::filesystem::directory_iterator(mount))
            files += entry.exists();
        EXPECT_EQ(files, 1u);
    }
    EXPECT_EQ(::system(("umount " + mount).c_str()), 0);
}

} // namespace

// A run slow enough for the progress line (its blocks arrive through a FIFO,
// one every 300 ms): with stderr not a terminal it prints exactly what a
// quick run prints, unless VRD_PROGRESS=1 asks for the line.
TEST_F(Outputs, SlowRunsShowProgressOnlyWhenAskedOffATerminal)
{
    const Bytes file = volumeOf(1), prefix = volume(header(kNx, kNy, kNz), {});
    std::vector<Bytes> blocks = blocksAfter(file, prefix.size());
    blocks[3] = deflated(sliceOf(3, 1).substr(0, 100)); // inflates short: one message
    Bytes damaged = prefix;
    for (const Bytes &b : blocks)
        damaged += block(b);
    writeFile(path("quick.vrd"), damaged);
    const Result quick = run(dir, windowed("quick.vrd", "quick.out"));
    ASSERT_EQ(quick.status, 1);
    for (const char *setting : {static_cast<const char *>(nullptr), "0", "1"}) {
        SCOPED_TRACE(setting ? setting : "unset");
        setting ? setenv("VRD_PROGRESS", setting, 1) : unsetenv("VRD_PROGRESS");
        ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0644), 0);
        std::thread feeder([&] {
            const int fifo = open(path("in.fifo").c_str(), O_WRONLY);
            bool fed = fifo >= 0 && writeAll(fifo, prefix);
            for (const Bytes &b : blocks) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                fed = fed && writeAll(fifo, block(b));
            }
            close(fifo);
        });
        const Result slow = run(dir, windowed("in.fifo", "slow.out"));
        feeder.join();
        unsetenv("VRD_PROGRESS");
        std::filesystem::remove(path("in.fifo"));
        EXPECT_EQ(slow.status, 1);
        std::string quickErr = quick.err; // as if it had read the FIFO
        for (size_t at; (at = quickErr.find("quick.vrd")) != std::string::npos;)
            quickErr.replace(at, 9, "in.fifo");
        if (setting == nullptr || setting[0] == '0') {
            EXPECT_EQ(slow.err, quickErr);
        } else {
            EXPECT_NE(slow.err.find("/6 slices"), std::string::npos) << slow.err;
            EXPECT_EQ(onScreen(slow.err), quickErr) << slow.err;
        }
    }
}
