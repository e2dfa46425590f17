#include <apr_general.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "KoralRxFileSearch.h"

namespace KORAL {
namespace {

class FileSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        apr_initialize();
        apr_pool_create(&pool_, nullptr);
        char tmpl[] = "/tmp/koral-fs-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override {
        std::string cmd = "rm -rf " + dir_;
        ASSERT_EQ(system(cmd.c_str()), 0);
        apr_pool_destroy(pool_);
        apr_terminate();
    }
    void Touch(const std::string &name) { std::ofstream(dir_ + "/" + name) << "x"; }

    apr_pool_t *pool_ = nullptr;
    std::string dir_;
};

TEST_F(FileSearchTest, RelativePathsAreMergedAbsoluteOnesKept) {
    std::string path = "utterances";
    ASSERT_TRUE(CheckDirPath(path, "/var/lib/koral", pool_));
    EXPECT_EQ(path, "/var/lib/koral/utterances");

    path = "/data/utt";
    ASSERT_TRUE(CheckDirPath(path, "/var/lib/koral", pool_));
    EXPECT_EQ(path, "/data/utt");

    path = "";
    ASSERT_TRUE(CheckDirPath(path, "/var/lib/koral", pool_));
    EXPECT_EQ(path, "/var/lib/koral/");  // the base directory itself
    EXPECT_TRUE(IsRelativePath("", pool_));
    EXPECT_FALSE(IsRelativePath("/x", pool_));
}

TEST_F(FileSearchTest, WildcardPicksTheMostRecentlyChangedFile) {
    Touch("key-a.json");
    sleep(1);  // status-change times have a one-second resolution on some file systems
    Touch("key-b.json");
    Touch("other.txt");
    mkdir((dir_ + "/key-dir.json").c_str(), 0700);
    std::string found;
    ASSERT_TRUE(file_search(found, dir_ + "/key-*.json", pool_));
    EXPECT_EQ(found, dir_ + "/key-b.json");
}

TEST_F(FileSearchTest, NothingMatchingOrNoDirectoryFails) {
    Touch("other.txt");
    std::string found = "unchanged";
    EXPECT_FALSE(file_search(found, dir_ + "/key-*.json", pool_));
    EXPECT_FALSE(file_search(found, dir_ + "/missing/key-*.json", pool_));
    EXPECT_EQ(found, "unchanged");
    EXPECT_TRUE(IsRegularFile(dir_ + "/other.txt", pool_));
    EXPECT_FALSE(IsRegularFile(dir_, pool_));
}

}  // namespace
}  // namespace KORAL
