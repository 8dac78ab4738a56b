/*
 * eps_temporary_test.cpp - the temporary copy of an EPS preview when the
 * swap directory is shared: by a stale or foreign "tiffile.tmp", and by two
 * processes loading EPS files at the same time.
 *
 * The previews are TIFF files that the library writes itself (the peers'
 * previews are the business of eps_raw_test.cpp); each process must get the
 * pixels of its own file, a file it did not create must be left as it is,
 * and no copy may outlive a call.
 */
#include "file_support.h"
#include "raster_support.h"
#include "save_support.h"
#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace quill_test;

namespace {

void append32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An EPS file with a binary header, a token PostScript section and the
// preview.
std::vector<uint8_t> eps_around(const std::vector<uint8_t> &preview) {
    const std::vector<uint8_t> postscript(64, '%');
    std::vector<uint8_t> b = {0xC5, 0xD0, 0xD3, 0xC6};
    append32(b, 30);
    append32(b, static_cast<uint32_t>(postscript.size()));
    append32(b, 0);
    append32(b, 0);
    append32(b, static_cast<uint32_t>(30 + postscript.size()));
    append32(b, static_cast<uint32_t>(preview.size()));
    b.push_back(0xFF);
    b.push_back(0xFF);
    b.insert(b.end(), postscript.begin(), postscript.end());
    b.insert(b.end(), preview.begin(), preview.end());
    return b;
}

class EpsTemporaryTest : public LibraryFixture {
protected:
    // Writes `raster` as a TIFF through the library and wraps it in an EPS
    // file in the files directory (not the swap directory, which must end
    // empty).
    std::string make_eps(const Raster &raster, const std::string &name) {
        std::string tif = files_.path() + "/" + name + ".tif", eps = files_.path() + "/" + name + ".eps";
        EXPECT_EQ(QI_DmriFileSave(raster.data(), raster.width, raster.height, raster.kind, tif.c_str()), 1);
        EXPECT_TRUE(write_file(eps, eps_around(read_file(tif))));
        unlink(tif.c_str());
        return eps;
    }
    std::string swap_file(const std::string &name) const { return swap_.path() + "/" + name; }
    TempDir files_;
};

// Loads `eps` and tells whether the frame holds exactly `expected`.
bool loads_as(const std::string &eps, const Raster &expected) {
    int frame = QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY);
    if (frame < 0)
        return false;
    bool same = same_pixels(frame_pixels(frame), expected);
    QI_FrameDelete(frame);
    return same;
}

TEST_F(EpsTemporaryTest, AForeignCopyIsNeitherReadNorTouched) {
    Raster picture = random_raster(200, 150, 2, 5);
    std::string eps = make_eps(picture, "picture");
    // Another process's copy under the usual name, and one under the first
    // name beside it: ours takes the next free one.
    const std::string foreign = "not ours: another process is reading this preview";
    for (const char *name : {"tiffile.tmp", "tiffile-1.tmp"})
        ASSERT_TRUE(write_file(swap_file(name), std::vector<uint8_t>(foreign.begin(), foreign.end())));
    int width = 0, height = 0;
    EXPECT_EQ(QI_FrameFileGetInfo(eps.c_str(), &width, &height), 2);
    EXPECT_EQ(width, 200);
    EXPECT_EQ(height, 150);
    EXPECT_TRUE(loads_as(eps, picture));
    for (const char *name : {"tiffile.tmp", "tiffile-1.tmp"}) {
        std::vector<uint8_t> left = read_file(swap_file(name));
        EXPECT_EQ(std::string(left.begin(), left.end()), foreign) << name << " was overwritten";
        unlink(swap_file(name).c_str());
    }
    // Only the two foreign files were there: our copies are gone.
    EXPECT_TRUE(swap_.files().empty());
}

TEST_F(EpsTemporaryTest, TwoProcessesLoadingAtOnceEachGetTheirOwnPreview) {
    // Different sizes and kinds (grey, bilevel), so that a process that read the other's
    // copy cannot pass the check by chance.
    const Raster pictures[2] = {random_raster(640, 480, 2, 11), drawing_raster(480, 500, 12)};
    const std::string files[2] = {make_eps(pictures[0], "first"), make_eps(pictures[1], "second")};
    QI_CloseFrameFunctions(); // each process starts its own library on the shared swap directory
    constexpr int kLoads = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int wrong = 0;
            if (QI_InitFrameFunctions("", swap_.path().c_str(), nullptr) != 1)
                _exit(100);
            for (int i = 0; i < kLoads; ++i) {
                int w = 0, h = 0;
                if (QI_FrameFileGetInfo(files[c].c_str(), &w, &h) == 0 || w != pictures[c].width ||
                    h != pictures[c].height || !loads_as(files[c], pictures[c]))
                    ++wrong;
            }
            QI_CloseFrameFunctions();
            _exit(wrong);
        }
    }
    for (int c = 0; c < 2; ++c) {
        int status = 0;
        ASSERT_EQ(waitpid(children[c], &status, 0), children[c]);
        ASSERT_TRUE(WIFEXITED(status)) << "process " << c << " crashed";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "process " << c << ": loads that failed or gave the other's pixels";
    }
    ASSERT_EQ(QI_InitFrameFunctions(swap_.path().c_str(), swap_.path().c_str(), nullptr), 1);
    // The fixture checks that the swap directory is empty: every copy of
    // both processes was deleted.
}

} // namespace
