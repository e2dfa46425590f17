#include <apr_general.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "KoralRxFileSearch.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/TempDir.h"

using namespace KORAL;

namespace {

class FileSearchTest : public ::testing::Test {
  protected:
    void Touch(const std::string &name) { std::ofstream(dir_ + "/" + name) << "x"; }

    KoralTest::AprPool apr_;
    KoralTest::TempDir temp_{"koral-fs"};
    apr_pool_t *const pool_ = apr_.get();
    const std::string dir_ = temp_.Path();
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
    Touch("key-b.json");
    ASSERT_TRUE(KoralTest::ChangedAfter(dir_ + "/key-b.json", dir_ + "/key-a.json"));
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
