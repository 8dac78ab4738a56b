// Start and stop of the library, message values, progress reports, the
// frame table's handle rules and the optional lossy-coding tables.
#include "test_support.h"

#include "raster/core/library_state.h"
#include "raster/core/progress.h"
#include "raster/core/yx_tables.h"

#include <stdio.h>

#include <string>
#include <vector>

using namespace quill_test;

namespace {

std::vector<intptr_t> g_heard;
int g_answerAt = -1; // index of the report answered with 0 (cancel)

int record_callback(intptr_t value) {
    g_heard.push_back(value);
    return static_cast<int>(g_heard.size()) - 1 == g_answerAt ? 0 : 1;
}

std::string message_text(int slot) {
    return reinterpret_cast<const char *>(quill::progress_message(slot));
}

void write_file(const std::string &path, size_t bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(fwrite(data.data(), 1, bytes, f), bytes);
    fclose(f);
}

} // namespace

TEST(LibraryLifecycle, StartsOnceAndStopsOnce) {
    TempDir dir;
    EXPECT_EQ(QI_CloseFrameFunctions(), 0) << "closing a library that never started";
    ASSERT_EQ(QI_InitFrameFunctions(dir.path().c_str(), dir.path().c_str(), nullptr), 1);
    int frame = QI_FrameCreate(10, 10, 1, 1, nullptr, 0);
    ASSERT_EQ(frame, 0);
    EXPECT_EQ(QI_InitFrameFunctions("elsewhere", "elsewhere", record_callback), 0);
    EXPECT_NE(QI_FrameGetData(frame), nullptr) << "a refused second start changed nothing";
    EXPECT_EQ(QI_CloseFrameFunctions(), 1);
    EXPECT_EQ(QI_FrameGetData(frame), nullptr);
    EXPECT_EQ(QI_CloseFrameFunctions(), 0);
    ASSERT_EQ(QI_InitFrameFunctions(dir.path().c_str(), dir.path().c_str(), nullptr), 1);
    EXPECT_EQ(QI_FrameCreate(10, 10, 1, 1, nullptr, 0), 0) << "restart gives a fresh table";
    EXPECT_EQ(QI_CloseFrameFunctions(), 1);
}

TEST(LibraryLifecycle, RejectsDirectoriesLongerThan127Characters) {
    std::string longest(127, 'd'), tooLong(128, 'd');
    int64_t live = qs_test_live_blocks();
    EXPECT_EQ(QI_InitFrameFunctions(tooLong.c_str(), "", nullptr), 0);
    EXPECT_EQ(QI_InitFrameFunctions("", tooLong.c_str(), nullptr), 0);
    EXPECT_EQ(qs_test_live_blocks(), live) << "nothing built for a refused start";
    EXPECT_EQ(QI_CloseFrameFunctions(), 0);
    ASSERT_EQ(QI_InitFrameFunctions(longest.c_str(), longest.c_str(), nullptr), 1);
    EXPECT_STREQ(quill::g_library.directory, longest.c_str());
    EXPECT_EQ(QI_CloseFrameFunctions(), 1);
}

TEST(LibraryLifecycle, StopDeletesLockedFramesAndTheirSwapFiles) {
    TempDir dir;
    int64_t live = qs_test_live_blocks();
    ASSERT_EQ(QI_InitFrameFunctions("", dir.path().c_str(), nullptr), 1);
    int a = QI_FrameCreate(300, 300, 2, 2, nullptr, 0);
    int b = QI_FrameCreate(300, 300, 1, 1, nullptr, 0);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_EQ(QI_FrameLock(a), 1);
    ASSERT_EQ(QI_FrameLock(b), 1);
    EXPECT_EQ(dir.files().size(), 1u);
    EXPECT_EQ(QI_CloseFrameFunctions(), 1);
    EXPECT_TRUE(dir.files().empty());
    EXPECT_EQ(qs_test_live_blocks(), live);
    EXPECT_EQ(qi_test_open_files(), 0);
}

TEST(LibraryLifecycle, EveryAllocationFailureDuringStartFailsCleanly) {
    int64_t live = qs_test_live_blocks();
    int failures = 0;
    for (int64_t n = 1; n < 100; ++n) {
        qs_test_fail_allocation(n);
        int started = QI_InitFrameFunctions("", "", nullptr);
        bool hit = qs_test_allocation_count() >= n;
        qs_test_fail_allocation(0);
        if (started) {
            // Only the optional lossy-coding tables may fail without failing
            // the start; they are then absent.
            EXPECT_EQ(quill::g_library.yxTablesPresent, 0);
            QI_CloseFrameFunctions();
            EXPECT_EQ(qs_test_live_blocks(), live) << "allocation " << n;
            if (!hit)
                break;
            continue;
        }
        ++failures;
        EXPECT_EQ(QI_CloseFrameFunctions(), 0) << "a failed start left the library started";
        EXPECT_EQ(qs_test_live_blocks(), live) << "allocation " << n;
    }
    EXPECT_GE(failures, 3);
    EXPECT_EQ(qs_test_live_blocks(), live);
}

TEST(LibraryMessages, DefaultNamesAndReplacement) {
    ASSERT_EQ(QI_InitFrameFunctions("", "", nullptr), 1);
    const char *expected[20] = {"NewPalette", "NewPalette", "PolyFill", "FileLoad", "FileSave",
                                "Optimize", "FixPic", "BitBlt", "Cloning", "Stretch", "AffineTrn",
                                "ColorBounds", "MirrorY", "MirrorX", "Rotate180", "Rotate90",
                                "Rotate270", "UdelExt", "YX load", "YX save"};
    for (int slot = 0; slot < 20; ++slot)
        EXPECT_EQ(message_text(slot), expected[slot]) << "slot " << slot;
    EXPECT_EQ(QI_SetMessage(20, 5), 0);
    EXPECT_EQ(QI_SetMessage(-1, 5), 0);
    EXPECT_EQ(QI_SetMessage(1, 4242), 1);
    EXPECT_EQ(quill::progress_message(0), 4242) << "slots 0 and 1 share one value";
    EXPECT_EQ(QI_SetMessage(19, -7), 1);
    EXPECT_EQ(quill::progress_message(19), -7);
    EXPECT_EQ(message_text(18), "YX load") << "neighbours untouched";
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions("", "", nullptr), 1);
    EXPECT_EQ(message_text(1), "NewPalette") << "a start resets the values";
    QI_CloseFrameFunctions();
}

TEST(LibraryProgress, CancelIsFollowedBy101AndNoCallbackMeansGoOn) {
    ASSERT_EQ(QI_InitFrameFunctions("", "", nullptr), 1);
    EXPECT_TRUE(quill::progress_report(50)) << "no callback: go on";
    QI_CloseFrameFunctions();

    g_heard.clear();
    g_answerAt = -1;
    ASSERT_EQ(QI_InitFrameFunctions("", "", record_callback), 1);
    EXPECT_TRUE(quill::progress_begin(quill::kMsgRotate90));
    EXPECT_TRUE(quill::progress_fraction(0, 10));
    EXPECT_TRUE(quill::progress_fraction(10, 10));
    ASSERT_EQ(g_heard.size(), 4u);
    EXPECT_EQ(g_heard[0], 0);
    EXPECT_EQ(g_heard[1], quill::progress_message(quill::kMsgRotate90));
    EXPECT_EQ(g_heard[2], 1);
    EXPECT_EQ(g_heard[3], 99);

    g_heard.clear();
    g_answerAt = 1;
    EXPECT_TRUE(quill::progress_report(10));
    EXPECT_FALSE(quill::progress_report(20)) << "the answer 0 cancels";
    EXPECT_EQ(g_heard, (std::vector<intptr_t>{10, 20, 101}));
    g_answerAt = -1;
    QI_CloseFrameFunctions();
}

TEST(LibraryFrameTable, GrowsBy16AndReusesTheLowestHandle) {
    ASSERT_EQ(QI_InitFrameFunctions("", "", nullptr), 1);
    for (int i = 0; i < 17; ++i)
        ASSERT_EQ(QI_FrameCreate(8, 8, 1, 1, nullptr, 0), i);
    EXPECT_EQ(quill::g_library.frames->capacity, 32);
    ASSERT_EQ(QI_FrameDelete(3), 1);
    ASSERT_EQ(QI_FrameDelete(5), 1);
    EXPECT_EQ(QI_FrameCreate(8, 8, 1, 1, nullptr, 0), 3);
    EXPECT_EQ(QI_FrameCreate(8, 8, 1, 1, nullptr, 0), 5);
    int count = -1, highest = -1;
    QI_FrameLibraryInfo(&count, &highest);
    EXPECT_EQ(count, 17);
    EXPECT_EQ(highest, 16);
    QI_FrameLibraryInfo(nullptr, nullptr);
    QI_CloseFrameFunctions();
}

TEST(LibraryFrameTable, GivesBackTheTopSlotsOnceTheyAreFree) {
    ASSERT_EQ(QI_InitFrameFunctions("", "", nullptr), 1);
    for (int i = 0; i < 33; ++i)
        ASSERT_EQ(QI_FrameCreate(8, 8, 1, 1, nullptr, 0), i);
    EXPECT_EQ(quill::g_library.frames->capacity, 48);
    for (int i = 32; i >= 16; --i) {
        ASSERT_EQ(QI_FrameDelete(i), 1);
        // Slots 32..47 are all free once 32 is gone, but 32 used + 16 is not
        // below 48 until 31 is gone too.
        int expected = i == 32 ? 48 : 32;
        EXPECT_EQ(quill::g_library.frames->capacity, expected) << "after deleting " << i;
    }
    QI_CloseFrameFunctions();
}

TEST(LibraryFrameTable, InfoBeforeStartReportsNothing) {
    int count = 5, highest = 5;
    QI_FrameLibraryInfo(&count, &highest);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(highest, -1);
    EXPECT_EQ(QI_FrameGetData(0), nullptr);
    EXPECT_EQ(QI_FrameCreate(8, 8, 1, 1, nullptr, 0), -1);
}

TEST(LibraryYX, TablesLoadOnlyFromTwoWholeDataFiles) {
    TempDir data;
    ASSERT_EQ(QI_InitFrameFunctions(data.path().c_str(), "", nullptr), 1);
    EXPECT_EQ(quill::g_library.yxTablesPresent, 0);
    EXPECT_EQ(QI_GetYXstate(), 1);
    QI_YXstateSwitch(2);
    EXPECT_EQ(QI_GetYXstate(), 1) << "no tables: the switch is ignored";
    EXPECT_EQ(QI_FrameCreate(8, 8, 2, 1, nullptr, 3), -1) << "lossy mode without tables";
    int plain = QI_FrameCreate(8, 8, 2, 1, nullptr, 0);
    ASSERT_GE(plain, 0);
    EXPECT_EQ(QI_FrameGetData(plain)->mode, 1);
    QI_CloseFrameFunctions();

    write_file(data.path() + "/magadan.XY", quill::kYXFileBytes);
    write_file(data.path() + "/urupinsk.XY", quill::kYXFileBytes - 1);
    ASSERT_EQ(QI_InitFrameFunctions(data.path().c_str(), "", nullptr), 1);
    EXPECT_EQ(quill::g_library.yxTablesPresent, 0) << "a short file";
    QI_CloseFrameFunctions();

    write_file(data.path() + "/urupinsk.XY", quill::kYXFileBytes);
    ASSERT_EQ(QI_InitFrameFunctions(data.path().c_str(), "", nullptr), 1);
    EXPECT_EQ(quill::g_library.yxTablesPresent, 1);
    EXPECT_EQ(quill::g_yx.forward[100], static_cast<uint8_t>(700));
    QI_YXstateSwitch(0);
    EXPECT_EQ(QI_GetYXstate(), 1);
    QI_YXstateSwitch(3);
    EXPECT_EQ(QI_GetYXstate(), 3);
    int colour = QI_FrameCreate(8, 8, 4, 1, nullptr, 0);
    EXPECT_EQ(QI_FrameGetData(colour)->mode, 3) << "mode 0 takes the current state";
    int grey = QI_FrameCreate(8, 8, 2, 1, nullptr, 2);
    EXPECT_EQ(QI_FrameGetData(grey)->mode, 2);
    int bilevel = QI_FrameCreate(8, 8, 1, 1, nullptr, 4);
    EXPECT_EQ(QI_FrameGetData(bilevel)->mode, 0);
    QI_CloseFrameFunctions();
    EXPECT_EQ(quill::g_yx.forward, nullptr) << "tables released at stop";
}
