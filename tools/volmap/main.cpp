// volmap: maps every voxel of a volume through a trapezoidal window.
// Usage: volmap inputImageFile outputImageFile min mid1 mid2 max
#include "run.h"
#include "window.h"


namespace {

const char usage[] = "inputImageFile outputImageFile min mid1 mid2 max";
const char description[] =
    "Maps every voxel of a volume through a trapezoidal window and writes the\n"
    "result as float32 slices: 0 up to min, rising to 1 from min to mid1, 1 from\n"
    "mid1 to mid2, falling to 0 from mid2 to max, 0 beyond. The output's icon is\n"
    "a preview of its middle slice.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the program's and the library's version\n"
    "\n"
    "Environment: VRD_THREADS (threads, 1 = one), VRD_DEFLATE (zlib, zlib:LEVEL,\n"
    "libdeflate, libdeflate:LEVEL), VRD_PROGRESS (0 off, 1 on). See volmap(1).\n";

int run(int argc, char **argv)
{
    if (vrdtool::answerHelpOrVersion(argc, argv, "volmap", usage, description))
        return 0;
    if (argc < 7) {
        vrdtool::printUsage(argv[0], " inputImageFile outputImageFile min mid1 mid2 max");
        return -1;
    }
    vrdtool::setProgramName("volmap");
    const volmap::Window window{float(vrdtool::numberArgument(argv[3], "min")),
                                float(vrdtool::numberArgument(argv[4], "mid1")),
                                float(vrdtool::numberArgument(argv[5], "mid2")),
                                float(vrdtool::numberArgument(argv[6], "max"))};

    vrdtool::Input in;
    vrdtool::openInput(in, argv[1]);
    vrdtool::checkInput(in);
    vrdtool::checkFirstBlock(in);

    vrdtool::Output out;
    out.path = argv[2];
    out.header = vrdtool::floatHeaderFrom(in.header);

    const std::vector<vrdtool::Input *> inputs{&in};
    vrdtool::Job job;
    job.params = &window;
    VrdEngine *engine = vrdtool::prepareRun(inputs, volmap::windowCompute, job);
    vrdtool::createOutput(out, {&in});
    vrdtool::runSlices(engine, inputs, out);
    return vrdtool::finish(inputs, out, in.header.nz);
}

} // namespace

int main(int argc, char **argv)
{
    return vrdtool::guardedMain(run, argc, argv);
}
