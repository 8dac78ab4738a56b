/*
 * transfer_guard_test.cpp - a save whose host deletes the frame while the
 * rows are handed out (from its progress callback, the one place where a
 * host runs in the middle of a save). The line transfer goes through the
 * rectangle engines, which trust their frame; the transfer must notice that
 * the frame is gone, fail the save and leave no file, for every writable
 * format.
 */
#include "file_support.h"
#include "raster_support.h"
#include "save_support.h"
#include "test_support.h"

#include <string>

using namespace quill_test;

namespace {

int g_victim = -1;
int g_deletions = 0;

int delete_victim(intptr_t value) {
    if (value >= 1 && value <= 99 && g_victim >= 0) {
        QI_FrameUnlock(g_victim);
        if (QI_FrameDelete(g_victim) == 1)
            ++g_deletions;
        g_victim = -1;
    }
    return 1;
}

class TransferGuardTest : public LibraryFixture {};

TEST_F(TransferGuardTest, ASaveWhoseFrameTheHostDeletesFailsCleanly) {
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), delete_victim), 1);
    TempDir out;
    for (const char *extension : {"tif", "pcx"}) {
        for (int kind : {1, 2}) {
            // Three blocks of 128 rows: the frame goes after the first.
            Raster page = kind == 1 ? drawing_raster(300, 400, 3) : random_raster(300, 400, 2, 3);
            int frame = frame_from(page);
            g_victim = frame;
            g_deletions = 0;
            std::string name = out.path() + "/page." + extension;
            EXPECT_EQ(QI_FrameFileSave(frame, name.c_str()), 0) << extension << " kind " << kind;
            EXPECT_EQ(g_deletions, 1) << "the host deleted the frame mid-save";
            EXPECT_FALSE(file_exists(name)) << "a failed save leaves no file";
            int count = -1;
            QI_FrameLibraryInfo(&count, nullptr);
            EXPECT_EQ(count, 0);
        }
    }
}

} // namespace
