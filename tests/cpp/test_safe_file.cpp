// cSafeFile against real links, FIFOs and folders made by the test, under umask 000.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <functional>
#include <string>

#include "cSafeFile.hpp"
#include "mirvo_test_support.hpp"

using namespace mirvotest;
using Refusal = cSafeFile::Refusal;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A folder with a name "x" made by a case, and "target" beside it holding the text "mine".
class SafeFile : public ::testing::Test {
protected:
    void SetUp() override { oldMask_ = umask(0); }
    void TearDown() override { umask(oldMask_); }
    TempDir dir_;
    mode_t oldMask_ = 0;
};

struct NameCase {
    const char* what;
    std::function<void(const TempDir&)> make;  // makes dir/x
    Refusal read;                              // openRead with Links::refuse
    Refusal readFollowing;                     // openRead with Links::follow
    Refusal write;                             // openWrite
};

class SafeFileNames : public SafeFile, public ::testing::WithParamInterface<NameCase> {};

TEST_P(SafeFileNames, OnlyRegularFilesOpenAndLinksOnlyWhenFollowed) {
    const NameCase& c = GetParam();
    writeFile(dir_ / "target", "mine");
    c.make(dir_);
    const std::string x = dir_ / "x";
    EXPECT_EQ(cSafeFile::openRead(x.c_str(), cSafeFile::Links::refuse).refusal(), c.read);
    EXPECT_EQ(cSafeFile::openRead(x.c_str(), cSafeFile::Links::follow).refusal(), c.readFollowing);

    const cSafeFile folder = cSafeFile::openFolder(dir_.path, false);
    ASSERT_TRUE(folder);
    cSafeFile written = cSafeFile::openWrite(folder.fd(), "x", cSafeFile::Write::truncate);
    EXPECT_EQ(written.refusal(), c.write);
    if (written) {
        ASSERT_TRUE(written.writeAll("new", 3));
        EXPECT_EQ(readFile(x), "new");
    }
    // Nothing was written through a link: the target and the place a dangling link names stay.
    EXPECT_EQ(readFile(dir_ / "target"), "mine");
    EXPECT_NE(access((dir_ / "absent").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    All, SafeFileNames,
    ::testing::Values(
        NameCase{"regular", [](const TempDir& d) { writeFile(d / "x", "old text"); }, Refusal::none,
                 Refusal::none, Refusal::none},
        NameCase{"missing", [](const TempDir&) {}, Refusal::failed, Refusal::failed, Refusal::none},
        NameCase{"link", [](const TempDir& d) { ASSERT_EQ(symlink("target", (d / "x").c_str()), 0); },
                 Refusal::link, Refusal::none, Refusal::link},
        NameCase{"dangling_link",
                 [](const TempDir& d) { ASSERT_EQ(symlink("absent", (d / "x").c_str()), 0); }, Refusal::link,
                 Refusal::failed, Refusal::link},
        NameCase{"fifo", [](const TempDir& d) { ASSERT_EQ(mkfifo((d / "x").c_str(), 0600), 0); },
                 Refusal::notRegular, Refusal::notRegular, Refusal::notRegular},
        NameCase{"folder", [](const TempDir& d) { ASSERT_EQ(mkdir((d / "x").c_str(), 0700), 0); },
                 Refusal::notRegular, Refusal::notRegular, Refusal::notRegular}),
    [](const ::testing::TestParamInfo<NameCase>& p) { return std::string(p.param.what); });

TEST_F(SafeFile, CreatedFilesAndFoldersAreOwnerOnlyExistingModesStay) {
    const cSafeFile made = cSafeFile::openFolder(dir_ / "a/b/c", true);
    ASSERT_TRUE(made);
    for (const char* level : {"a", "a/b", "a/b/c"}) EXPECT_EQ(modeOf(dir_ / level), 0700u) << level;
    EXPECT_TRUE(cSafeFile::openWrite(made.fd(), "new", cSafeFile::Write::append));
    EXPECT_EQ(modeOf(dir_ / "a/b/c/new"), 0600u);

    writeFile(dir_ / "a/b/c/old", "kept");
    ASSERT_EQ(chmod((dir_ / "a/b/c/old").c_str(), 0644), 0);
    cSafeFile old = cSafeFile::openWrite(made.fd(), "old", cSafeFile::Write::append);
    ASSERT_TRUE(old);
    ASSERT_TRUE(old.writeAll("+", 1));
    EXPECT_EQ(modeOf(dir_ / "a/b/c/old"), 0644u);
    EXPECT_EQ(readFile(dir_ / "a/b/c/old"), "kept+");
    ASSERT_EQ(chmod((dir_ / "a").c_str(), 0755), 0);
    EXPECT_TRUE(cSafeFile::openFolder(dir_ / "a/b", true));
    EXPECT_EQ(modeOf(dir_ / "a"), 0755u);
}

TEST_F(SafeFile, NoLevelOfAFolderPathIsFollowed) {
    ASSERT_EQ(mkdir((dir_ / "real").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ / "real/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink("real", (dir_ / "link").c_str()), 0);
    writeFile(dir_ / "file", "");
    EXPECT_TRUE(cSafeFile::openFolder(dir_ / "real/sub", false));
    for (const char* path : {"link", "link/sub", "link/new"}) {
        const cSafeFile f = cSafeFile::openFolder(dir_ / path, true);
        EXPECT_EQ(f.refusal(), Refusal::link) << path;
        EXPECT_NE(std::string(f.why()).find("symbolic link"), std::string::npos);
    }
    EXPECT_NE(access((dir_ / "real/new").c_str(), F_OK), 0);
    EXPECT_EQ(cSafeFile::openFolder(dir_ / "file/sub", true).refusal(), Refusal::notFolder);
}

}  // namespace
