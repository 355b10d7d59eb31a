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
    bool temporaryExists() const { return leftovers() > 0; }
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
    for (int stop : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(stop));
        writeFile(path("out.vrd"), "old content");
        ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0644), 0);
        const pid_t pid = start(windowed("in.fifo", "out.vrd"));
        const int fifo = open(path("in.fifo").c_str(), O_WRONLY);
        ASSERT_GE(fifo, 0);
        ASSERT_TRUE(writeAll(fifo, file.substr(0, prefix.size()) + block(deflated(sliceOf(0, 1)))));
        ASSERT_TRUE(waitFor(&Outputs::temporaryExists)); // the run is under way, waiting for the next block
        kill(pid, stop);
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
    // Both have written their headers before either writes a slice; the
    // blocks then arrive in turn.
    ASSERT_TRUE(writeAll(fa, a.substr(0, prefix.size())) && writeAll(fb, b.substr(0, prefix.size())));
    ASSERT_TRUE(waitFor(&Outputs::temporaryExists));
    const std::vector<Bytes> blocksA = blocksAfter(a, prefix.size()), blocksB = blocksAfter(b, prefix.size());
    for (size_t z = 0; z < blocksA.size(); ++z)
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

    // Past a file-size limit: a write error, as on a full device, and status 1, no signal.
    const Bytes prefix = volume(header(kNx, kNy, kNz), {});
    const Result limited = run(dir, windowed("in.vrd", "limited.vrd"), nullptr, "2", 0, prefix.size() + 300);
    EXPECT_EQ(limited.status, 1) << limited.err;
    EXPECT_NE(limited.err.find("limited.vrd: write error"), std::string::npos) << limited.err;
    EXPECT_EQ(readFile(path("limited.vrd")).size(), prefix.size() + 300);
    EXPECT_EQ(leftovers(), 0);
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
