// Byte stores: memory chunks and swap files.
#include "test_support.h"

#include "raster/core/byte_store.h"
#include "raster/core/library_state.h"

#include <sys/stat.h>

#include <string>
#include <vector>

using namespace quill_test;
using quill::ByteStore;

namespace {

class ByteStoreTest : public LibraryFixture {
protected:
    std::string path_of(const ByteStore *store) {
        char path[300];
        EXPECT_TRUE(quill::byte_store_path(store, path, sizeof path));
        return path;
    }
    static long long file_length(const std::string &path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
    }
};

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
    return bytes;
}

} // namespace

TEST_F(ByteStoreTest, MemoryWritesReadsAndMovesAcrossChunkBoundaries) {
    ByteStore *store = quill::byte_store_create(1);
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(quill::byte_store_open(store));
    std::vector<uint8_t> data = pattern(200000, 1);
    // Written in two uneven pieces that straddle chunk edges.
    ASSERT_TRUE(quill::byte_store_write(store, 0, data.data(), 65530, data.data() + 65530, 70000));
    ASSERT_TRUE(quill::byte_store_write(store, 135530, data.data() + 135530, 64470));
    EXPECT_EQ(quill::byte_store_size(store), 200000);
    EXPECT_FALSE(quill::byte_store_write(store, 200001, data.data(), 1)) << "a write may not leave a hole";
    std::vector<uint8_t> back(200000);
    ASSERT_TRUE(quill::byte_store_read(store, 0, back.data(), 200000));
    EXPECT_EQ(back, data);
    EXPECT_FALSE(quill::byte_store_read(store, 199999, back.data(), 2));

    // Front-to-back move over an overlapping range that crosses chunks.
    ASSERT_TRUE(quill::byte_store_move(store, 1000, 66000, 120000));
    ASSERT_TRUE(quill::byte_store_read(store, 1000, back.data(), 120000));
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 120000, data.begin() + 66000));

    ASSERT_TRUE(quill::byte_store_resize(store, 70000));
    quill::byte_store_close(store);
    ASSERT_TRUE(quill::byte_store_open(store)) << "the cut last chunk grows back";
    ASSERT_TRUE(quill::byte_store_write(store, 70000, data.data(), 100));
    ASSERT_TRUE(quill::byte_store_resize(store, 0));
    quill::byte_store_close(store);
    EXPECT_TRUE(quill::byte_store_destroy(store));
    EXPECT_EQ(store, nullptr);
}

TEST_F(ByteStoreTest, OpenStoreCannotBeDestroyed) {
    ByteStore *store = quill::byte_store_create(1);
    ASSERT_TRUE(quill::byte_store_open(store));
    EXPECT_FALSE(quill::byte_store_destroy(store));
    quill::byte_store_close(store);
    EXPECT_TRUE(quill::byte_store_destroy(store));
}

TEST_F(ByteStoreTest, SwapFileLivesFromCreateToDestroyAndIsTrimmedWhenClosed) {
    ByteStore *store = quill::byte_store_create(2);
    ASSERT_NE(store, nullptr);
    std::string path = path_of(store);
    std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path.substr(0, path.rfind('/')), swap_.path());
    EXPECT_EQ(name.substr(name.size() - 4), ".qsw");
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), name.size() - 4) << name;
    EXPECT_NE(name[0], '0') << "no leading zeros";
    EXPECT_EQ(file_length(path), 0);

    ASSERT_TRUE(quill::byte_store_open(store));
    std::vector<uint8_t> data = pattern(40000, 2);
    ASSERT_TRUE(quill::byte_store_write(store, 0, data.data(), 40000));
    ASSERT_TRUE(quill::byte_store_move(store, 10, 30000, 10000));
    ASSERT_TRUE(quill::byte_store_resize(store, 50000)) << "grown by filler";
    EXPECT_EQ(file_length(path), 50000);
    ASSERT_TRUE(quill::byte_store_resize(store, 25000));
    quill::byte_store_close(store);
    EXPECT_EQ(file_length(path), 25000) << "a smaller size takes effect at close";

    ASSERT_TRUE(quill::byte_store_open(store));
    std::vector<uint8_t> back(10000);
    ASSERT_TRUE(quill::byte_store_read(store, 10, back.data(), 10000));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 30000));
    quill::byte_store_close(store);
    EXPECT_TRUE(quill::byte_store_destroy(store));
    EXPECT_EQ(file_length(path), -1);
}

TEST_F(ByteStoreTest, SwapFileNeverTakesOverAnExistingFile) {
    // A file left by a crash or by another process under the name this
    // store would choose must be left alone.
    ByteStore *first = quill::byte_store_create(2);
    ASSERT_NE(first, nullptr);
    std::string taken = path_of(first);
    quill::byte_store_destroy(first);
    FILE *foreign = fopen(taken.c_str(), "wb");
    ASSERT_NE(foreign, nullptr);
    fputs("someone else's data", foreign);
    fclose(foreign);

    ByteStore *second = quill::byte_store_create(2); // usually the same address
    ASSERT_NE(second, nullptr);
    EXPECT_NE(path_of(second), taken);
    EXPECT_EQ(file_length(taken), 19);
    quill::byte_store_destroy(second);
    EXPECT_EQ(file_length(taken), 19);
    unlink(taken.c_str());
}
