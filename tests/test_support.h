/*
 * test_support.h - shared fixtures for the library tests.
 *
 * LibraryFixture starts the library with a fresh swap directory and, after
 * each test, stops it and checks that no heap block and no file stayed
 * behind: every test is also a leak test.
 */
#ifndef QUILL_TESTS_TEST_SUPPORT_H
#define QUILL_TESTS_TEST_SUPPORT_H

#include "base/test_hooks.h"
#include "quillimg.h"
#include "raster/core/platform_file.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quill_test {

// A scratch directory, removed with its files when the object goes.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quill-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~TempDir() {
        for (const std::string &name : files())
            unlink((path_ + "/" + name).c_str());
        rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *entry = readdir(dir))
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }

private:
    std::string path_;
};

class LibraryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore_ = qs_test_live_blocks();
        ASSERT_EQ(QI_InitFrameFunctions(swap_.path().c_str(), swap_.path().c_str(), nullptr), 1);
    }
    void TearDown() override {
        qs_test_fail_allocation(0);
        for (int op = 0; op < static_cast<int>(quill::FileOp::Count); ++op)
            qi_test_fail_file_op(op, 0);
        QI_CloseFrameFunctions();
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_) << "heap blocks leaked";
        EXPECT_EQ(qi_test_open_files(), 0) << "files left open";
        EXPECT_TRUE(swap_.files().empty()) << "swap files left behind";
    }
    TempDir swap_;
    int64_t liveBefore_ = 0;
};

} // namespace quill_test

#endif
