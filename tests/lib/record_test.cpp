// The header record's operations: reset, voxel sizes, comments.
#include "support.h"

#include <cstring>

TEST(Record, ClearZeroesEverythingButTheVersion)
{
    float spacing = 1.0f;
    char *text = nullptr;
    VrdHeader h = validHeader();
    h.versionMajor = 6;
    h.versionMinor = 3;
    h.rx = h.ry = h.rz = &spacing;
    h.hasBgThreshold = h.bgThresholdI = h.commentCount = h.tfnum = 1;
    h.bgThresholdF = 2.0f;
    h.comments = h.tfdata = &text;
    EXPECT_EQ(vrdClearHeader(&h), &h);
    EXPECT_EQ(h.versionMajor, 6);
    EXPECT_EQ(h.versionMinor, 3);
    for (int32_t field : {h.compression, h.endian, h.nx, h.ny, h.nz, h.vtype, h.units, h.nbands, h.dtype,
                          h.hasBgThreshold, h.bgThresholdI, h.commentCount, h.tfnum})
        EXPECT_EQ(field, 0);
    for (float field : {h.px, h.py, h.pz, h.bgThresholdF})
        EXPECT_EQ(field, 0.0f);
    EXPECT_TRUE(h.rx == nullptr && h.ry == nullptr && h.rz == nullptr);
    EXPECT_TRUE(h.comments == nullptr && h.tfdata == nullptr);
}

TEST(Record, VoxelSizes)
{
    const int32_t bytes[10] = {1, 1, 2, 2, 2, 2, 4, 4, 4, 8};
    VrdHeader h = validHeader();
    for (int32_t code = vrdUChar; code <= vrdDouble; ++code) {
        EXPECT_EQ(vrdVoxelSize(code), bytes[code - 1]) << code;
        h.dtype = code;
        EXPECT_EQ(vrdHeaderVoxelSize(&h), bytes[code - 1]) << code;
    }
}

TEST(RecordDeath, UnknownVoxelTypeEndsTheProcess)
{
    for (int32_t code : {0, 11, -1})
        EXPECT_EXIT(vrdVoxelSize(code), testing::ExitedWithCode(1),
                    Exactly("vrdVoxelSize: unknown voxel type\n"));
}

TEST(Record, CommentsAreCopiesInTheOrderAdded)
{
    VrdHeader h{};
    char text[] = "first";
    vrdAddHdrComment(&h, text);
    vrdAddHdrComment(&h, "");
    vrdAddHdrComment(&h, "third");
    strcpy(text, "later");
    ASSERT_EQ(h.commentCount, 3);
    EXPECT_STREQ(h.comments[0], "first");
    EXPECT_STREQ(h.comments[1], "");
    EXPECT_STREQ(h.comments[2], "third");
}

TEST(RecordDeath, FailedCommentCopyEndsTheProcess)
{
    VrdHeader h{};
    EXPECT_EXIT((vrdTestFailStrdup = 1, vrdAddHdrComment(&h, "text")), testing::ExitedWithCode(1),
                Exactly("vrdAddHdrComment: Allocation Error\n"));
}
