// volcmp: compares two volumes voxel by voxel and writes where they differ.
// Usage: volcmp inputImageFile1 inputImageFile2 - - outputImageFile
// (arguments 3 and 4 are required placeholders without effect)
#include "compare.h"
#include "run.h"

#include <cstdio>

namespace {

const char usage[] = "inputImageFile1 inputImageFile2 - - outputImageFile";
const char description[] =
    "Compares two volumes of the same size voxel by voxel and writes, as float32\n"
    "slices, where they differ. Arguments 3 and 4 are placeholders without effect.\n"
    "The output's icon is a preview of its middle slice.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the program's and the library's version\n"
    "\n"
    "Environment: VRD_THREADS (threads, 1 = one), VRD_DEFLATE (zlib, zlib:LEVEL,\n"
    "libdeflate, libdeflate:LEVEL), VRD_PROGRESS (0 off, 1 on). See volcmp(1).\n";

int run(int argc, char **argv)
{
    if (vrdtool::answerHelpOrVersion(argc, argv, "volcmp", usage, description))
        return 0;
    if (argc < 6) {
        vrdtool::printUsage(argv[0], " inputImageFile1 inputImageFile2");
        return -1;
    }
    vrdtool::setProgramName("volcmp");

    vrdtool::Input first, second;
    vrdtool::openInput(first, argv[1]);
    vrdtool::openInput(second, argv[2]);
    const VrdHeader &a = first.header, &b = second.header;
    if (a.nx != b.nx || a.ny != b.ny || a.nz != b.nz) {
        fprintf(stderr, "Images of different size!\n");
        fflush(stderr);
        return -1;
    }
    vrdtool::checkInput(first);
    vrdtool::checkInput(second);
    vrdtool::checkFirstBlock(first);
    vrdtool::checkFirstBlock(second);

    vrdtool::Output out;
    out.path = argv[5];
    out.header = vrdtool::floatHeaderFrom(a);

    const std::vector<vrdtool::Input *> inputs{&first, &second};
    vrdtool::Job job;
    VrdEngine *engine = vrdtool::prepareRun(inputs, volcmp::compareCompute, job);
    vrdtool::createOutput(out, {&first, &second});
    vrdtool::runSlices(engine, inputs, out);
    return vrdtool::finish(inputs, out, a.nz);
}

} // namespace

int main(int argc, char **argv)
{
    return vrdtool::guardedMain(run, argc, argv);
}
