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

// Equal bit patterns, so that -0 differs from +0; any NaN matches a NaN.
::testing::AssertionResult same(float expected, float actual)
{
    if ((std::isnan(expected) && std::isnan(actual)) || std::memcmp(&expected, &actual, sizeof(float)) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << std::hexfloat << expected << ", got " << actual;
}

TEST(WindowValue, EveryArrangementAndBoundary)
{
    const volmap::Window usual{0, 10, 20, 40}, stepUp{5, 5, 20, 40}, stepDown{0, 10, 40, 40}, peak{0, 10, 10, 40},
                         closed{40, 10, 20, 0}, crossed{0, 20, 10, 40}, open{-inf, 0, 1, inf};
    const struct { volmap::Window w; float d, expected; } cases[] = {
        // min < mid1 < mid2 < max: 0 at and outside the ends, edges straight, 1 on the plateau.
        {usual, -5, 0}, {usual, -0.0f, 0}, {usual, 2.5f, 0.25f}, {usual, 10, 1}, {usual, 20, 1},
        {usual, 30, 0.5f}, {usual, 40, 0}, {usual, inf, 0}, {usual, -inf, 0}, {usual, nan, nan},
        {stepUp, 5, 0}, {stepUp, 5.001f, 1},       // mid1 = min: a step up
        {stepDown, 39.99f, 1}, {stepDown, 40, 0},  // mid2 = max: a step down
        {peak, 10, 1}, {peak, 25, 0.5f},           // mid1 = mid2: exactly 1 through the falling edge
        {closed, 15, 0}, {closed, nan, nan},       // max <= min: nothing passes
        {crossed, 15, 0.75f}, {crossed, 20, 0x1.555556p-1f}, // mid2 < mid1: falls from mid1 on, never 1
        {{0.1f, 1000, 2000, 3000}, 1, 0x1.d7e80ap-11f},       // double arithmetic, one rounding
        {open, 0.5f, 1}, {open, -inf, 0}, {open, inf, 0},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(same(c.expected, volmap::windowValue(c.d, c.w)))
            << "window " << c.w.min << " " << c.w.mid1 << " " << c.w.mid2 << " " << c.w.max << ", value " << c.d;
}

TEST(CompareValue, ThresholdEqualityNaNAndSymmetry)
{
    const double threshold = volcmp::differenceThreshold();
    const struct { float a, b, expected; } cases[] = {
        {0.5f, 0.9f, 90}, {0.9f, 0.9f, 0}, {0.2f, 0.7f, 0}, {0.2f, std::nextafter(0.7f, 1.0f), 0x1.180002p+6f},
        {-1, -2, 0}, {0.0f, -0.0f, 0}, {1.5f, nan, 0}, {nan, nan, 0}, {inf, 1, inf}, {-inf, 5, 500}, {3e38f, 0, inf},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(same(c.expected, volcmp::compareValue(c.a, c.b, threshold))) << c.a << " vs " << c.b;
        EXPECT_TRUE(same(c.expected, volcmp::compareValue(c.b, c.a, threshold))) << c.b << " vs " << c.a;
    }
}

// Every data type, with values that a float32, the wrong width or the wrong signedness would change.
struct Typed {
    int32_t dtype;
    std::vector<unsigned char> data;
    std::vector<double> exact; // the values they hold
    template <class T>
    Typed(int32_t type, std::initializer_list<T> v) : dtype(type), data(v.size() * sizeof(T)), exact(v.begin(), v.end())
    {
        std::memcpy(data.data(), std::data(v), data.size());
    }
};
const Typed kTyped[] = {
    {vrdUChar, {uint8_t(1), uint8_t(200), uint8_t(255)}}, {vrdChar, {int8_t(-128), int8_t(-1), int8_t(127)}},
    {vrdUInt12, {uint16_t(0), uint16_t(4095), uint16_t(40000)}}, {vrdUInt16, {uint16_t(0), uint16_t(1), uint16_t(65535)}},
    {vrdInt16, {int16_t(-32768), int16_t(-1), int16_t(32767)}}, {vrdIntHU, {int16_t(-1024), int16_t(-1), int16_t(3071)}},
    {vrdUInt32, {0u, 16777217u, 4294967295u}}, {vrdInt32, {INT32_MIN, -1, 16777217}},
    {vrdFloat, {-0.0f, 0.1f, 16777216.0f}}, {vrdDouble, {16777217.0, 0.1, -1e300}},
};

TEST(Slices, EveryDataTypeIsConvertedExactly)
{
    // A window fine enough to tell 2^24 + 1 from 2^24, and one wide enough to see sign and width.
    const volmap::Window windows[] = {{16777216, 16777218, 2e7f, 3e7f}, {-40000, 100, 200, 5e9f}};
    ASSERT_EQ(0.5f, volmap::windowValue(16777217.0, windows[0]));
    for (const Typed &a : kTyped) {
        std::vector<float> out(3, -7);
        for (const volmap::Window &w : windows) {
            volmap::windowSlice(a.data.data(), a.dtype, out.data(), 3, w);
            for (size_t i = 0; i < 3; ++i)
                EXPECT_TRUE(same(volmap::windowValue(a.exact[i], w), out[i])) << "dtype " << a.dtype << " at " << i;
        }
        for (const Typed &b : kTyped) {
            volcmp::compareSlices(a.data.data(), a.dtype, b.data.data(), b.dtype, out.data(), 3);
            for (size_t i = 0; i < 3; ++i)
                EXPECT_TRUE(same(volcmp::compareValue(a.exact[i], b.exact[i], volcmp::differenceThreshold()), out[i]))
                    << "dtypes " << a.dtype << ", " << b.dtype << " at " << i;
        }
    }
}

} // namespace
