// vrdCheckHeader: rule order, spacing threshold, list checks.
#include "support.h"

#include <cmath>

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
    EXPECT_EQ(refusal(h), 36);
    int32_t *const fields[] = {&h.compression, &h.endian, &h.nx, &h.vtype, &h.units, &h.nbands, &h.dtype};
    const int32_t next[] = {15, 16, 17, 18, 19, 20, 22};
    for (int i = 0; i < 7; ++i) {
        *fields[i] = 1;
        if (fields[i] == &h.nx)
            h.ny = h.nz = 2;
        EXPECT_EQ(refusal(h), next[i]) << i;
    }
    h.commentCount = 1;
    EXPECT_EQ(refusal(h), 21);
    h.commentCount = 0, h.px = 1.0f;
    EXPECT_EQ(refusal(h), 0);
    for (int32_t value : {0, -1, INT32_MIN}) // sizes must be positive
        for (int32_t VrdHeader::*size : {&VrdHeader::nx, &VrdHeader::ny, &VrdHeader::nz}) {
            VrdHeader sized = h;
            sized.*size = value;
            EXPECT_EQ(refusal(sized), 16) << value;
        }
}

TEST(Validate, Spacings)
{
    const float nearest = 1e-20f; // the float nearest 1e-20 lies just under it
    ASSERT_LT(static_cast<double>(nearest), 1e-20);
    struct Case {
        int32_t vtype, nz;
        float px, py, pz;
        std::vector<float> rx, ry, rz;
        int32_t expected;
    };
    const Case cases[] = {
        {vrdCubic, 1, 0.5f, 0, 0, {}, {}, {}, 0},       {vrdCubic, 1, 1e-19f, 0, 0, {}, {}, {}, 0},
        {vrdCubic, 1, nearest, 1, 1, {}, {}, {}, 22},   {vrdCubic, 1, NAN, 0, 0, {}, {}, {}, 0},
        {vrdCubic, 1, -1, 1, 1, {}, {}, {}, 22},        {vrdRegular, 1, 0, 0, 0, {}, {}, {}, 24},
        {vrdRegular, 1, 0, 0, 1, {}, {}, {}, 23},       {vrdRegular, 1, 0, 1, 1, {}, {}, {}, 22},
        {vrdRegular, 1, 1, 1, nearest, {}, {}, {}, 24}, {5, 1, 0, 0, 0, {}, {}, {}, 0},
        {vrdRectZ, 3, 0, 0, 0, {}, {}, {1, 1, 1}, 22},  {vrdRectZ, 3, 1, 1, 0, {}, {}, {1, 0, 1}, 30},
        {vrdRectZ, 3, 1, 0, 1, {}, {}, {1, 1, 1}, 23},  {vrdRectZ, 1, 1, 1, 0, {}, {}, {1}, 0},
        {vrdRectZ, 2, 1, 1, 0, {}, {}, {NAN, 1}, 0},    {vrdRectXYZ, 2, 0, 0, 0, {1, 1}, {1}, {1, 1}, 0},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 0}, {0}, {1, 0}, 28}, {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {0}, {1, 0}, 29},
        {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {1}, {1, 0}, 30}, {vrdRectXYZ, 2, 1, 1, 1, {1, 1}, {1}, {0, 1}, 0},
        {vrdRectXYZ, 1, 1, 1, 1, {1, 1}, {1}, {5}, 27},    {vrdRectXYZ, 2, 1, 1, 1, {1, nearest}, {1}, {1, 1}, 28},
    };
    for (Case c : cases) {
        VrdHeader h = validHeader();
        h.vtype = c.vtype, h.nx = 2, h.ny = 1, h.nz = c.nz, h.px = c.px, h.py = c.py, h.pz = c.pz;
        h.rx = c.rx.data(), h.ry = c.ry.data(), h.rz = c.rz.data();
        EXPECT_EQ(refusal(h), c.expected) << c.vtype << " " << c.px << " " << c.py << " " << c.pz;
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
}
