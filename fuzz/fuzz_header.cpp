// Fuzz target: the header reader and the prologue (header lines, validation,
// icon) on arbitrary bytes read through a memory stream. A header that is
// accepted is written again with the library's writer and read back; the
// second read must give the same sizes and codes.
#include "fuzz_common.h"

#include <cstring>

namespace {

// Writing a header prints 5 lines per transfer function; larger counts are
// read but not written again, to keep every run short.
constexpr int32_t kMaxRewrittenFunctions = 4096;

void rewriteAndCompare(const VrdHeader &h)
{
    if (h.tfnum > kMaxRewrittenFunctions)
        return;
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (out == nullptr)
        return;
    const unsigned char icon[3] = {1, 2, 3};
    writeVrdHeader(out, &h, icon, 1, 1);
    fclose(out);

    VrdHeader again{};
    {
        fuzz::MemoryFile in(reinterpret_cast<const uint8_t *>(text), length);
        if (vrdReadPrologue(in.get(), &again) == nullptr) {
            // Spacings are written with six decimals, so a tiny spacing that
            // passed reads back as 0 and is refused; nothing else may fail.
            if (vrdErrno < 22 || vrdErrno > 30)
                fuzz::failCheck("a written header is refused for a reason other than its spacings");
        } else if (again.nx != h.nx || again.ny != h.ny || again.nz != h.nz || again.vtype != h.vtype ||
                   again.dtype != h.dtype || again.endian != h.endian || again.compression != h.compression ||
                   again.units != h.units || again.nbands != h.nbands || again.commentCount != h.commentCount ||
                   again.tfnum != h.tfnum || (again.hasBgThreshold != 0) != (h.hasBgThreshold != 0)) {
            fuzz::failCheck("a written header reads back with other sizes or codes");
        }
    }
    fuzz::freeHeader(again);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::MemoryFile in(data, size);
    if (in.get() == nullptr)
        return 0;
    VrdHeader h{};
    vrdErrno = 0;
    if (vrdReadPrologue(in.get(), &h) != nullptr) {
        if (vrdCheckHeader(&h) != 1)
            fuzz::failCheck("an accepted header fails validation");
        rewriteAndCompare(h);
    } else if (vrdErrno < 1 || vrdErrno > 36) {
        fuzz::failCheck("a refusal without an error number");
    }
    fuzz::freeHeader(h);
    return 0;
}
