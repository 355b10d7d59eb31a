// The header record's operations: reset, voxel sizes, comments.
#include "support.h"

#include <cstring>

TEST(Record, ClearZeroesEverythingButTheVersion)
{
    float spacing = 1.0f;
    char *text = nullptr;
    VrdHeader h = validHeader();
    h.versionMajor = 6, h.versionMinor = 3;
    h.rx = h.ry = h.rz = &spacing;
    h.hasBgThreshold = h.bgThresholdI = h.commentCount = h.tfnum = 1;
    h.bgThresholdF = 2.0f;
    h.comments = h.tfdata = &text;
    EXPECT_EQ(vrdClearHeader(&h), &h);
    EXPECT_TRUE(h.versionMajor == 6 && h.versionMinor == 3);
    for (int32_t field : {h.compression, h.endian, h.nx, h.ny, h.nz, h.vtype, h.units, h.nbands, h.dtype,
                          h.hasBgThreshold, h.bgThresholdI, h.commentCount, h.tfnum})
        EXPECT_EQ(field, 0);
    EXPECT_TRUE(h.px == 0 && h.py == 0 && h.pz == 0 && h.bgThresholdF == 0);
    EXPECT_TRUE(!h.rx && !h.ry && !h.rz && !h.comments && !h.tfdata);
}

TEST(RecordDeath, VoxelSizes)
{
    const int32_t bytes[10] = {1, 1, 2, 2, 2, 2, 4, 4, 4, 8};
    VrdHeader h = validHeader();
    for (h.dtype = vrdUChar; h.dtype <= vrdDouble; ++h.dtype)
        EXPECT_TRUE(vrdVoxelSize(h.dtype) == bytes[h.dtype - 1] && vrdHeaderVoxelSize(&h) == bytes[h.dtype - 1]);
    for (int32_t code : {0, 11, -1})
        EXPECT_EXIT(vrdVoxelSize(code), testing::ExitedWithCode(1), Exactly("vrdVoxelSize: unknown voxel type\n"));
}

TEST(RecordDeath, CommentsAreCopies)
{
    VrdHeader h{};
    char text[] = "first";
    vrdAddHdrComment(&h, text);
    vrdAddHdrComment(&h, "");
    vrdAddHdrComment(&h, "third");
    strcpy(text, "later");
    ASSERT_EQ(h.commentCount, 3);
    EXPECT_TRUE(!strcmp(h.comments[0], "first") && !strcmp(h.comments[1], "") && !strcmp(h.comments[2], "third"));
    // A copy that cannot be made ends the run, like a failed growth.
    EXPECT_EXIT((vrdTestFailStrdup = 1, vrdAddHdrComment(&h, "text")), testing::ExitedWithCode(1),
                Exactly("vrdAddHdrComment: Allocation Error\n"));
}
