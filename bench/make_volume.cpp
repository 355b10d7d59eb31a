// Writes a CT-like float32 test volume: a smooth field of soft-tissue and
// bone-like values with Gaussian noise, so that it deflates like real scans.
// Usage: vrd_bench_volume output.vrd nx ny nz zlib|none [big|little [seed]]
#include <vrd/vrd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: vrd_bench_volume output.vrd nx ny nz zlib|none [big|little [seed]]\n");
        return 2;
    }
    const int32_t nx = atoi(argv[2]), ny = atoi(argv[3]), nz = atoi(argv[4]);
    if (nx <= 0 || ny <= 0 || nz <= 0 || int64_t(nx) * ny > (int64_t(1) << 28)) {
        fprintf(stderr, "vrd_bench_volume: sizes out of range\n");
        return 2;
    }
    const bool big = argc > 6 && strcmp(argv[6], "big") == 0;

    VrdHeader h{};
    vrdClearHeader(&h);
    h.compression = strcmp(argv[5], "none") == 0 ? vrdCompNone : vrdCompZlib;
    h.endian = big ? vrdBigEndian : vrdLittleEndian;
    h.nx = nx;
    h.ny = ny;
    h.nz = nz;
    h.vtype = vrdRegular;
    h.px = h.py = 0.5f;
    h.pz = 1.0f;
    h.units = vrdUmm;
    h.nbands = 1;
    h.dtype = vrdFloat;
    vrdAddHdrComment(&h, "benchmark volume: smooth field with noise");

    FILE *out = fopen(argv[1], "wb");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    const size_t count = size_t(nx) * size_t(ny);
    std::vector<unsigned char> icon(count, 0);
    writeVrdHeader(out, &h, icon.data(), nx, ny);

    std::mt19937 random(argc > 7 ? unsigned(atoi(argv[7])) : 12345u);
    std::normal_distribution<float> noise(0.0f, 12.0f);
    std::vector<float> slice(count);
    int whole = 1;
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y)
            for (int32_t x = 0; x < nx; ++x) {
                const double u = double(x) / nx - 0.5, v = double(y) / ny - 0.5, w = double(z) / nz - 0.5;
                const double r = std::sqrt(u * u + v * v);
                double value = r < 0.45 ? 40.0 + 30.0 * std::sin(8.0 * u) * std::cos(6.0 * v + 3.0 * w) : -1000.0;
                if (r < 0.12 + 0.03 * std::sin(10.0 * w))
                    value = 700.0 + 200.0 * std::cos(5.0 * u);
                slice[size_t(y) * nx + x] = float(std::round(value + noise(random)));
            }
        if (big)
            for (float &f : slice)
                SwapOrder(&f, 4);
        whole &= WriteSliceDataN(out, slice.data(), 4, int32_t(count), h.compression);
    }
    if (fclose(out) != 0 || !whole) {
        fprintf(stderr, "vrd_bench_volume: %s: write error\n", argv[1]);
        return 1;
    }
    return 0;
}
