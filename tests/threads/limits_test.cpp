// Under an address-space limit a run with threads either does exactly what
// the one-thread run does at that limit (output, messages, status) or is
// refused with one line before its output exists: all memory and the threads
// are had before the output is created, with fewer threads when they do not fit.
#include "volumes.h"

#include <algorithm>
#include <cmath>

namespace {

using namespace testkit;

using Limits = TempDirTest;

#ifndef __SANITIZE_ADDRESS__
constexpr int32_t kNx = 256, kNy = 256, kNz = 6;

// Noisy float slices of 256 KiB: large enough that the limits bite, small
// enough for quick runs.
std::vector<Bytes> limitSlices()
{
    std::vector<Bytes> slices;
    for (int32_t z = 0; z < kNz; ++z) {
        std::vector<float> v(size_t(kNx) * kNy);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = float(std::sin(double(i) * 0.001 + z) * 100 + double((i * 7919) % 13));
        slices.emplace_back(reinterpret_cast<const char *>(v.data()), v.size() * 4);
    }
    return slices;
}

TEST_F(Limits, ThreadedRunsBehaveLikeTheOneThreadRun)
{
    std::vector<Bytes> slices = limitSlices();
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        const VrdHeader h = header(kNx, kNy, kNz, vrdFloat, compression);
        writeFile(path("a.vrd"), volume(h, slices));
        std::reverse(slices.begin(), slices.end());
        writeFile(path("b.vrd"), volume(h, slices));
        for (const std::vector<std::string> &args : {std::vector<std::string>{VOLMAP, "a.vrd", "out.vrd", "0", "40", "80", "700"},
                                                     {VOLCMP, "a.vrd", "b.vrd", "-", "-", "out.vrd"},
                                                     {VRDCONVERT, "a.vrd", "out.vrd", "--zlib"},
                                                     {VRDCONVERT, "a.vrd", "out.nii.gz"},
                                                     {VRDCONVERT, "a.vrd", "out.nrrd", "--encoding", "raw"}}) {
            const std::string output = path(*std::find_if(args.begin(), args.end(), [](const std::string &a) { return a.rfind("out.", 0) == 0; }));
            int succeeded = 0;
            // The range starts where the program can be loaded at all: its
            // shared libraries (image codecs for vrdconvert) need room too.
            uint64_t lowest = 6;
            while (lowest < 96 && run(dir, {args[0], "--version"}, nullptr, "1", lowest << 20).status != 0)
                lowest += 3;
            for (uint64_t mib = lowest; mib <= lowest + 42; mib += 3) {
                SCOPED_TRACE(args[0] + " " + output + (compression == vrdCompZlib ? " zlib, " : " raw, ") + std::to_string(mib) + " MiB");
                std::filesystem::remove(output);
                const Result one = run(dir, args, nullptr, "1", mib << 20);
                const bool made = std::filesystem::exists(output);
                const Bytes first = made ? readFile(output) : "";
                succeeded += one.status == 0;
                // At the lowest limits the C++ runtime may have no room to
                // throw at all; the program then ends with one line, status 1.
                const bool noRuntime = one.status == 1 && one.err.find(": internal error\n") != std::string::npos;
                EXPECT_TRUE(one.status == 0 || ((one.status == 255 || noRuntime) && !made)) << one.status << one.err;
                for (const char *threads : {"2", "5"}) {
                    std::filesystem::remove(output);
                    const Result r = run(dir, args, nullptr, threads, mib << 20);
                    if (r.status == 255 && !std::filesystem::exists(output)) {
                        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
                        EXPECT_NE(one.status, 0) << threads << " threads refused where one thread ran: " << r.err;
                        continue;
                    }
                    EXPECT_TRUE(r.status == one.status && r.err == one.err) << threads << " threads: " << r.status << r.err;
                    EXPECT_TRUE(sameBytes(first, readFile(output))) << threads << " threads";
                }
            }
            EXPECT_GT(succeeded, 8); // the range reaches well past what one thread needs
        }
    }
}

// vrdinfo writes nothing: its report, messages and status at each limit are
// the one-thread run's, or files are refused, each with one line on stderr.
int64_t refusals(const std::string &report)
{
    int64_t n = 0;
    for (size_t at = 0; (at = report.find("refused: ", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

TEST_F(Limits, InfoUnderLimitsReportsLikeTheOneThreadRun)
{
    const std::vector<Bytes> slices = limitSlices();
    for (int32_t compression : {vrdCompZlib, vrdCompNone}) {
        const VrdHeader h = header(kNx, kNy, kNz, vrdFloat, compression);
        const Bytes file = volume(h, slices);
        writeFile(path("a.vrd"), file);
        writeFile(path("cut.vrd"), file.substr(0, file.size() - 1000));
        for (const std::vector<std::string> &args : {std::vector<std::string>{VRDINFO, "--slices", "a.vrd", "cut.vrd"},
                                                     {VRDINFO, "--json", "a.vrd"}}) {
            int succeeded = 0;
            // The range starts where the program can be loaded at all: its
            // shared libraries (image codecs for vrdconvert) need room too.
            uint64_t lowest = 6;
            while (lowest < 96 && run(dir, {args[0], "--version"}, nullptr, "1", lowest << 20).status != 0)
                lowest += 3;
            for (uint64_t mib = lowest; mib <= lowest + 42; mib += 3) {
                SCOPED_TRACE(args[1] + (compression == vrdCompZlib ? " zlib, " : " raw, ") + std::to_string(mib) + " MiB");
                const Result one = run(dir, args, nullptr, "1", mib << 20);
                succeeded += one.status != 255;
                EXPECT_EQ(std::count(one.err.begin(), one.err.end(), '\n'), refusals(one.out)) << one.err;
                for (const char *threads : {"2", "5"}) {
                    const Result r = run(dir, args, nullptr, threads, mib << 20);
                    if (r.status == 255) {
                        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), refusals(r.out)) << r.err;
                        EXPECT_EQ(one.status, 255) << threads << " threads refused where one thread ran: " << r.err;
                        continue;
                    }
                    EXPECT_TRUE(r.status == one.status && r.err == one.err) << threads << " threads: " << r.status << r.err;
                    EXPECT_TRUE(sameBytes(one.out, r.out)) << threads << " threads";
                }
            }
            EXPECT_GT(succeeded, 8);
        }
    }
}
#endif

} // namespace
