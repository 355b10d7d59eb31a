// vrdCheckHeader: rule order, spacing threshold, list checks.
#include "support.h"

#include <cmath>
#include <functional>

namespace {

int32_t refusal(const VrdHeader &h)
{
    vrdErrno = 0;
    return vrdCheckHeader(&h) == 1 ? 0 : vrdErrno;
}

} // namespace

TEST(Validate, RulesApplyInOrder)
{
    VrdHeader h{};
    const std::pair<std::function<void()>, int32_t> steps[] = {
        {[] {}, 36},
        {[&] { h.compression = 1; }, 15},
        {[&] { h.endian = 1; }, 16},
        {[&] { h.nx = h.ny = h.nz = 2; }, 17},
        {[&] { h.vtype = vrdCubic; }, 18},
        {[&] { h.units = 2; }, 19},
        {[&] { h.nbands = 1; }, 20},
        {[&] { h.dtype = 1; }, 22},
        {[&] { h.commentCount = 1; }, 21},
        {[&] { h.commentCount = 0, h.px = 1.0f; }, 0},
    };
    for (const auto &[change, expected] : steps) {
        change();
        EXPECT_EQ(refusal(h), expected);
    }
}

TEST(Validate, SizesMustBePositive)
{
    for (int32_t VrdHeader::*size : {&VrdHeader::nx, &VrdHeader::ny, &VrdHeader::nz})
        for (int32_t value : {0, -1, INT32_MIN}) {
            VrdHeader h = validHeader();
            h.*size = value;
            EXPECT_EQ(refusal(h), 16) << value;
        }
}

TEST(Validate, SingleSpacings)
{
    const float nearest = 1e-20f; // just under 1e-20 as a double
    ASSERT_LT(static_cast<double>(nearest), 1e-20);
    const struct { int32_t vtype; float px, py, pz; int32_t expected; } cases[] = {
        {vrdCubic, 0.5f, 0, 0, 0},           {vrdCubic, 0, 1, 1, 22},
        {vrdCubic, 1e-19f, 0, 0, 0},         {vrdCubic, nearest, 1, 1, 22},
        {vrdCubic, NAN, 0, 0, 0},            {vrdCubic, -1.0f, 1, 1, 22},
        {vrdRegular, 0, 0, 0, 24},           {vrdRegular, 0, 0, 1, 23},
        {vrdRegular, 0, 1, 1, 22},           {vrdRegular, 1, 1, nearest, 24},
        {vrdRegular, 1, 1, 1, 0},            {vrdRectZ, 0, 0, 0, 22},
        {5, 0, 0, 0, 0},
    };
    float rz[3] = {1, 1, 1};
    for (const auto &c : cases) {
        VrdHeader h = validHeader();
        h.vtype = c.vtype;
        h.px = c.px, h.py = c.py, h.pz = c.pz;
        h.rz = rz;
        EXPECT_EQ(refusal(h), c.expected) << c.vtype << " " << c.px << " " << c.py << " " << c.pz;
    }
}

TEST(Validate, SpacingLists)
{
    struct Case {
        const char *name;
        int32_t vtype, nx, ny, nz;
        std::vector<float> rx, ry, rz;
        float py;
        int32_t expected;
    };
    const Case cases[] = {
        {"rectZ zero entry", vrdRectZ, 1, 1, 3, {}, {}, {1, 0, 1}, 1, 30},
        {"rectZ singles first", vrdRectZ, 1, 1, 3, {}, {}, {1, 1, 1}, 0, 23},
        {"rectZ one slice", vrdRectZ, 1, 1, 1, {}, {}, {1}, 1, 0},
        {"rectZ NaN entry", vrdRectZ, 1, 1, 2, {}, {}, {NAN, 1}, 1, 0},
        {"rectXYZ good", vrdRectXYZ, 2, 1, 2, {1, 1}, {1}, {1, 1}, 0, 0},
        {"rectXYZ rx", vrdRectXYZ, 2, 1, 2, {1, 0}, {0}, {1, 0}, 1, 28},
        {"rectXYZ ry", vrdRectXYZ, 2, 1, 2, {1, 1}, {0}, {1, 0}, 1, 29},
        {"rectXYZ rz", vrdRectXYZ, 2, 1, 2, {1, 1}, {1}, {1, 0}, 1, 30},
        {"rectXYZ rz[0] unchecked", vrdRectXYZ, 2, 1, 2, {1, 1}, {1}, {0, 1}, 1, 0},
        {"rectXYZ one slice", vrdRectXYZ, 2, 1, 1, {1, 1}, {1}, {5}, 1, 27},
        {"rectXYZ tiny entry", vrdRectXYZ, 2, 1, 2, {1, 1e-20f}, {1}, {1, 1}, 1, 28},
    };
    for (Case c : cases) {
        VrdHeader h = validHeader();
        h.vtype = c.vtype, h.nx = c.nx, h.ny = c.ny, h.nz = c.nz, h.py = c.py;
        h.rx = c.rx.empty() ? nullptr : c.rx.data();
        h.ry = c.ry.empty() ? nullptr : c.ry.data();
        h.rz = c.rz.data();
        EXPECT_EQ(refusal(h), c.expected) << c.name;
    }
}

TEST(Validate, SuccessLeavesTheLastNumber)
{
    VrdHeader h = validHeader();
    h.px = 0;
    EXPECT_EQ(vrdCheckHeader(&h), 0);
    h.px = 1;
    EXPECT_EQ(vrdCheckHeader(&h), 1);
    EXPECT_EQ(vrdErrno, 22);
    EXPECT_STREQ(vrdErrorMessages[22], "vrd format error - px equal 0 or missing");
    EXPECT_STREQ(vrdErrorMessages[35],
                 "Version of the input vrd file is newer than version of your software, please upgrade");
}
