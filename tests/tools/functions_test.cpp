// The per-voxel rules of volmap and volcmp, and their typed slice loops.
#include "compare.h"
#include "window.h"

#include <vrd/vrd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Equal bit patterns, so that -0 differs from +0; any NaN matches a NaN.
::testing::AssertionResult same(float expected, float actual)
{
    if ((std::isnan(expected) && std::isnan(actual)) || bits(expected) == bits(actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << std::hexfloat << expected << ", got " << actual;
}

TEST(WindowValue, EveryArrangementAndSpecialValue)
{
    const volmap::Window usual{0, 10, 20, 40};
    const struct { volmap::Window w; float d, expected; } cases[] = {
        // min < mid1 < mid2 < max: both ends give +0, the plateau 1, edges straight lines.
        {usual, -5, 0}, {usual, 0, 0}, {usual, -0.0f, 0}, {usual, 2.5f, 0.25f}, {usual, 5, 0.5f},
        {usual, 10, 1}, {usual, 15, 1}, {usual, 20, 1}, {usual, 30, 0.5f}, {usual, 35, 0.25f},
        {usual, 40, 0}, {usual, 50, 0}, {usual, inf, 0}, {usual, -inf, 0}, {usual, nan, nan},
        // mid1 = min: a step up instead of a rising edge.
        {{5, 5, 20, 40}, 5, 0}, {{5, 5, 20, 40}, 5.001f, 1}, {{5, 5, 20, 40}, 30, 0.5f},
        // mid2 = max: 1 up to just below max, 0 from max on.
        {{0, 10, 40, 40}, 10, 1}, {{0, 10, 40, 40}, 39.99f, 1}, {{0, 10, 40, 40}, 40, 0},
        // mid1 = mid2: the peak is reached through the falling edge, exactly 1.
        {{0, 10, 10, 40}, 10, 1}, {{0, 10, 10, 40}, 25, 0.5f},
        // max <= min: nothing passes.
        {{40, 10, 20, 0}, -5, 0}, {{40, 10, 20, 0}, 15, 0}, {{40, 10, 20, 0}, 50, 0}, {{40, 10, 20, 0}, nan, nan},
        // mid2 < mid1: the falling edge starts at mid1 and never reaches 1.
        {{0, 20, 10, 40}, 10, 0.5f}, {{0, 20, 10, 40}, 15, 0.75f}, {{0, 20, 10, 40}, 25, 0.5f},
        {{0, 20, 10, 40}, 20, 0x1.555556p-1f},
        // Differences and quotient in double, one rounding: float arithmetic would give 0x1.d7e808p-11.
        {{0.1f, 1000, 2000, 3000}, 1, 0x1.d7e80ap-11f},
        // Infinite window corners.
        {{-inf, 0, 1, inf}, 0.5f, 1}, {{-inf, 0, 1, inf}, -inf, 0}, {{-inf, 0, 1, inf}, inf, 0},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(same(c.expected, volmap::windowValue(c.d, c.w)))
            << "window " << c.w.min << " " << c.w.mid1 << " " << c.w.mid2 << " " << c.w.max << ", value " << c.d;
}

TEST(CompareValue, ThresholdEqualityNaNAndSymmetry)
{
    const double threshold = volcmp::differenceThreshold();
    EXPECT_EQ(0x3F333333u, bits(float(threshold)));
    EXPECT_EQ(double(0.7f), threshold);
    const struct { float a, b, expected; } cases[] = {
        {0.5f, 0.9f, 90}, {0.9f, 0.9f, 0}, {0.2f, 0.7f, 0}, {0.2f, 0.71f, 71},
        {0.2f, std::nextafter(0.7f, 1.0f), 0x1.180002p+6f}, {-3, 0.2f, 0}, {2, 1, 200}, {-1, -2, 0},
        {0.0f, -0.0f, 0}, {1.5f, nan, 0}, {nan, nan, 0}, {inf, 1, inf}, {-inf, 5, 500}, {inf, inf, 0},
        {3e38f, 0, inf}, {1e-3f, 0.8f, 80},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(same(c.expected, volcmp::compareValue(c.a, c.b, threshold))) << c.a << " vs " << c.b;
        EXPECT_TRUE(same(c.expected, volcmp::compareValue(c.b, c.a, threshold))) << c.b << " vs " << c.a;
    }
}

template <class T>
std::vector<unsigned char> raw(std::initializer_list<T> values)
{
    std::vector<unsigned char> out(values.size() * sizeof(T));
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

// Every data type, with values that a float32, the wrong width or the wrong
// signedness would change, and the values they hold.
const struct { int32_t dtype; std::vector<unsigned char> data; std::vector<double> exact; } kTyped[] = {
    {vrdUChar, raw<uint8_t>({0, 1, 200, 255}), {0, 1, 200, 255}},
    {vrdChar, raw<int8_t>({-128, -1, 0, 127}), {-128, -1, 0, 127}},
    {vrdUInt12, raw<uint16_t>({0, 4095, 40000}), {0, 4095, 40000}},
    {vrdUInt16, raw<uint16_t>({0, 1, 65535}), {0, 1, 65535}},
    {vrdInt16, raw<int16_t>({-32768, -1, 32767}), {-32768, -1, 32767}},
    {vrdIntHU, raw<int16_t>({-1024, -1, 3071}), {-1024, -1, 3071}},
    {vrdUInt32, raw<uint32_t>({0, 16777217u, 4294967295u}), {0, 16777217.0, 4294967295.0}},
    {vrdInt32, raw<int32_t>({INT32_MIN, -1, 16777217}), {-2147483648.0, -1, 16777217}},
    {vrdFloat, raw<float>({-0.0f, 0.1f, 16777216.0f}), {-0.0, double(0.1f), 16777216}},
    {vrdDouble, raw<double>({16777217.0, 0.1, -1e300}), {16777217.0, 0.1, -1e300}},
};

TEST(Slices, EveryDataTypeIsConvertedExactly)
{
    // A window fine enough to tell 2^24 + 1 from 2^24 (which it puts half-way
    // up), and one wide enough to see sign and width.
    const volmap::Window windows[] = {{16777216, 16777218, 2e7f, 3e7f}, {-40000, 100, 200, 5e9f}};
    ASSERT_EQ(0.5f, volmap::windowValue(16777217.0, windows[0]));
    const double threshold = volcmp::differenceThreshold();
    for (const auto &a : kTyped) {
        for (const volmap::Window &w : windows) {
            std::vector<float> out(a.exact.size(), -7);
            volmap::windowSlice(a.data.data(), a.dtype, out.data(), out.size(), w);
            for (size_t i = 0; i < out.size(); ++i)
                EXPECT_TRUE(same(volmap::windowValue(a.exact[i], w), out[i])) << "dtype " << a.dtype << " at " << i;
        }
        for (const auto &b : kTyped) {
            const size_t n = std::min(a.exact.size(), b.exact.size());
            std::vector<float> out(n, -7);
            volcmp::compareSlices(a.data.data(), a.dtype, b.data.data(), b.dtype, out.data(), n);
            for (size_t i = 0; i < n; ++i)
                EXPECT_TRUE(same(volcmp::compareValue(a.exact[i], b.exact[i], threshold), out[i]))
                    << "dtypes " << a.dtype << ", " << b.dtype << " at " << i;
        }
    }
}

} // namespace
