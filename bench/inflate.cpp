// Block inflation speed: every zlib block of a volume, held in memory, is
// inflated on one thread through the library's decoder (libdeflate, with zlib
// behind it), through the decoder with zlib alone, and through zlib's
// uncompress. Prints MB/s of slice data (1 MB = 10^6 bytes), best of RUNS.
// Usage: vrd_bench_inflate volume.vrd [RUNS]
#include <vrd/vrd.h>

#include "vrd/codec_internal.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

double bestSeconds(int runs, const std::function<void()> &body)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: vrd_bench_inflate volume.vrd [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    VrdHeader h{};
    FILE *f = vrdOpenRead(argv[1], &h);
    if (f == nullptr || h.compression != vrdCompZlib) {
        fprintf(stderr, "vrd_bench_inflate: %s: not a readable zlib volume\n", argv[1]);
        return 1;
    }
    const int32_t size = vrdHeaderVoxelSize(&h), count = h.nx * h.ny;
    const size_t sliceBytes = size_t(size) * size_t(count);
    std::vector<std::vector<unsigned char>> blocks;
    for (int32_t z = 0; z < h.nz; ++z) {
        std::vector<unsigned char> payload(uint32_t(ReadLong(f)));
        if (fread(payload.data(), 1, payload.size(), f) != payload.size()) {
            fprintf(stderr, "vrd_bench_inflate: %s: short block\n", argv[1]);
            return 1;
        }
        blocks.push_back(std::move(payload));
    }
    fclose(f);

    std::vector<unsigned char> slice(sliceBytes);
    bool whole = true;
    const auto throughDecoder = [&](VrdCodec *codec) {
        for (const auto &b : blocks) {
            VrdBlockResult r;
            whole &= vrdDecodeBlock(codec, uint32_t(b.size()), b.data(), b.size(), slice.data(), vrdLittleEndian, size,
                                    count, vrdCompZlib, &r) == 1;
        }
    };
    VrdCodec *fast = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, true);
    VrdCodec *zlibOnly = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, false);
    const double decoder = bestSeconds(runs, [&] { throughDecoder(fast); });
    const double decoderZlib = bestSeconds(runs, [&] { throughDecoder(zlibOnly); });
    const double uncompressed = bestSeconds(runs, [&] {
        for (const auto &b : blocks) {
            uLongf n = uLongf(sliceBytes);
            whole &= uncompress(slice.data(), &n, b.data(), uLong(b.size())) == Z_OK && n == sliceBytes;
        }
    });
    vrdCodecFree(fast);
    vrdCodecFree(zlibOnly);
    if (!whole) {
        fprintf(stderr, "vrd_bench_inflate: %s: a block did not inflate whole\n", argv[1]);
        return 1;
    }
    const double mb = double(sliceBytes) * double(blocks.size()) / 1e6;
    printf("%-32s %8.0f MB/s\n", "decoder (libdeflate, zlib behind)", mb / decoder);
    printf("%-32s %8.0f MB/s\n", "decoder, zlib alone", mb / decoderZlib);
    printf("%-32s %8.0f MB/s\n", "zlib uncompress", mb / uncompressed);
    printf("decoder over uncompress: %.2fx (%zu blocks, best of %d)\n", uncompressed / decoder, blocks.size(), runs);
    return 0;
}
