// volmap: maps every voxel of a volume through a trapezoidal window.
// Usage: volmap inputImageFile outputImageFile min mid1 mid2 max
#include "run.h"
#include "window.h"

#include <cstdlib>

namespace {

int run(int argc, char **argv)
{
    if (argc < 7) {
        vrdtool::printUsage(argv[0], " inputImageFile outputImageFile min mid1 mid2 max");
        return -1;
    }
    vrdtool::setProgramName("volmap");
    const volmap::Window window{float(atof(argv[3])), float(atof(argv[4])), float(atof(argv[5])),
                                float(atof(argv[6]))};

    vrdtool::Input in;
    vrdtool::openInput(in, argv[1]);
    vrdtool::checkInput(in);

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
