// Finds and loads vrdconvert-gdcm.so: beside the program's bin folder (in the
// build tree and in any prefix, moved or not), else where the install rules
// put it.
#include "gdcm_calls.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace vrdconvert {

const GdcmCalls *gdcmCalls(std::string *error)
{
    static const GdcmCalls *calls = nullptr;
    if (calls != nullptr)
        return calls;
#ifdef VRDCONVERT_GDCM_LINKED
    calls = vrdconvertGdcmCalls(); // a build that links the module's code (the fuzz target)
#else
    std::string places[2];
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string program(self, size_t(n));
        places[0] = program.substr(0, program.rfind('/')) + "/" VRDCONVERT_GDCM_FROM_BIN;
    }
    places[1] = VRDCONVERT_GDCM_PATH;
    std::string why;
    for (const std::string &place : places) {
        if (place.empty())
            continue;
        void *module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            if (why.empty())
                why = dlerror();
            continue;
        }
        using Get = const GdcmCalls *(*)();
        if (auto get = reinterpret_cast<Get>(dlsym(module, "vrdconvertGdcmCalls"))) {
            calls = get();
            break;
        }
        why = place + " is not vrdconvert's GDCM module";
        dlclose(module);
    }
    if (calls == nullptr) {
        *error = "DICOM is read through GDCM's module, which cannot be loaded: " + why;
        return nullptr;
    }
#endif
    calls->quiet();
    return calls;
}

} // namespace vrdconvert
