// vrdinfo: describes volume files and checks every block of them.
// Usage: vrdinfo [--json] [--slices] FILE...
#include "report.h"
#include "run.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char usage[] = "[--json] [--slices] FILE...";
const char description[] =
    "Describes each volume file: every header field in words, the icon's size,\n"
    "and voxel statistics over the slices read whole (min, max, mean, standard\n"
    "deviation, zero, NaN and infinite values). Reads every block and ends each\n"
    "file's report with one line: sound, damaged (with how many slices) or\n"
    "refused (with the reason).\n"
    "\n"
    "  --json     one JSON object per file, on one line\n"
    "  --slices   a row per slice: block bytes, compression ratio, min, max, mean\n"
    "  --help     show this text\n"
    "  --version  show the program's and the library's version\n"
    "\n"
    "Exit status: 0 every file sound, 1 a damaged block, 255 a file refused.\n"
    "Environment: VRD_THREADS (threads, 1 = one), VRD_PROGRESS (0 off, 1 on).\n"
    "See vrdinfo(1).\n";

int run(int argc, char **argv)
{
    if (vrdtool::answerHelpOrVersion(argc, argv, "vrdinfo", usage, description))
        return 0;
    vrdtool::setProgramName("vrdinfo");
    vrdinfo::Options options;
    std::vector<const char *> files;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        if (!optionsEnd && strcmp(argv[i], "--") == 0)
            optionsEnd = true;
        else if (!optionsEnd && strcmp(argv[i], "--json") == 0)
            options.json = true;
        else if (!optionsEnd && strcmp(argv[i], "--slices") == 0)
            options.slices = true;
        else if (!optionsEnd && strncmp(argv[i], "--", 2) == 0)
            vrdtool::refuse(argv[i], "unknown option (--json, --slices, --help, --version)");
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        vrdtool::printUsage(argv[0], " [--json] [--slices] FILE...");
        return -1;
    }
    int status = vrdinfo::kSound;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0 && !options.json)
            fputc('\n', stdout);
        std::string refusal;
        const vrdinfo::Verdict v = vrdinfo::reportFile(stdout, files[i], options, &refusal);
        if (v == vrdinfo::kRefused) {
            fflush(stdout);
            fprintf(stderr, "vrdinfo: %s: %s\n", files[i], refusal.c_str());
            fflush(stderr);
        }
        if (v == vrdinfo::kRefused || (v == vrdinfo::kDamaged && status == vrdinfo::kSound))
            status = v;
        fflush(stdout);
    }
    if (ferror(stdout) != 0 || fflush(stdout) != 0) {
        fprintf(stderr, "vrdinfo: standard output: write error\n");
        return 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    return vrdtool::guardedMain(run, argc, argv);
}
