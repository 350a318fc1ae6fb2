#include "platform/profile.h"
#include "support/fork_child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_profile_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/Option.ini";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Get() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_, path_;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyReadsAsMissing) {
    EXPECT_FALSE(ReadProfileString("OPTION", "PORT", path_));
    Put("[OTHER]\nPORT=3\n[OPTION]\nFNAME=x\n");
    EXPECT_FALSE(ReadProfileString("OPTION", "PORT", path_));
    EXPECT_FALSE(ReadProfileString("NONE", "FNAME", path_));
    EXPECT_EQ(ReadProfileString("OPTION", "FNAME", path_).value_or("?"), "x");
    // A key line of another section does not leak into the next one.
    EXPECT_EQ(ReadProfileString("other", "port", path_).value_or("?"), "3");
}

TEST_F(ProfileTest, LookupIgnoresCaseBlanksAndCarriageReturns) {
    Put("; comment\r\n [ Option ] \r\n  Port  =  7 \r\nfname=/a b/c.bin\r\n");
    EXPECT_EQ(ReadProfileString("OPTION", "PORT", path_).value_or("?"), "7");
    EXPECT_EQ(ReadProfileString("option", "FNAME", path_).value_or("?"), "/a b/c.bin");
    EXPECT_EQ(ReadProfileString("OPTION", "EMPTY", path_), std::nullopt);
}

TEST_F(ProfileTest, FirstWriteCreatesFileAndSection) {
    ASSERT_TRUE(WriteProfileString("OPTION", "PORT", "2", path_));
    ASSERT_TRUE(WriteProfileString("OPTION", "FNAME", "/fw/app.bin", path_));
    EXPECT_EQ(Get(), "[OPTION]\nPORT=2\nFNAME=/fw/app.bin\n");
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::owner_read, fs::perms::owner_read);
}

TEST_F(ProfileTest, WriteReplacesOnlyItsLineAndKeepsEverythingElse) {
    Put("; kept comment\n[Other]\nport=9\n\n[option]\nPort=1\nextra = yes\n\n[Last]\nA=1\n");
    ASSERT_TRUE(WriteProfileString("OPTION", "PORT", "4", path_));
    EXPECT_EQ(Get(), "; kept comment\n[Other]\nport=9\n\n[option]\nPORT=4\nextra = yes\n\n[Last]\nA=1\n");
    // A new key goes to the end of its section, before the blank line that separates sections.
    ASSERT_TRUE(WriteProfileString("OPTION", "FNAME", "f", path_));
    EXPECT_EQ(Get(),
              "; kept comment\n[Other]\nport=9\n\n[option]\nPORT=4\nextra = yes\nFNAME=f\n\n[Last]\nA=1\n");
    EXPECT_EQ(ReadProfileString("other", "PORT", path_).value_or("?"), "9");
}

TEST_F(ProfileTest, ValuesThatCannotBeStoredOnOneLineAreRejectedAndNothingChanges) {
    Put("[OPTION]\nFNAME=old\n");
    for (std::string bad : {std::string("/a\nb"), std::string("x\r"), std::string("a\0b", 3)}) {
        ProfileWriteResult r = WriteProfileString("OPTION", "FNAME", bad, path_);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find("line break"), std::string::npos) << r.error;
    }
    EXPECT_FALSE(WriteProfileString("OPTION", "A=B", "1", path_));
    EXPECT_FALSE(WriteProfileString("OP]TION", "A", "1", path_));
    EXPECT_FALSE(WriteProfileString("OPTION", " ", "1", path_));
    EXPECT_EQ(Get(), "[OPTION]\nFNAME=old\n");
}

TEST_F(ProfileTest, WriteIntoMissingFolderFailsWithReason) {
    ProfileWriteResult r = WriteProfileString("S", "K", "V", dir_ + "/nowhere/x.ini");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("nowhere"), std::string::npos) << r.error;
}

// Writers killed at random moments leave either the old or the new file, never a torn one.
TEST_F(ProfileTest, KilledWriterNeverLeavesATornFile) {
    const std::string big(200000, 'x');
    ASSERT_TRUE(WriteProfileString("OPTION", "FNAME", "A" + big, path_));
    for (int round = 0; round < 20; ++round) {
        pid_t child = test::ForkChild();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                WriteProfileString("OPTION", "FNAME", std::string(1, char('A' + i % 26)) + big,
                                   path_);
            }
        }
        ::usleep(1000 + (round * 1777) % 15000);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        auto value = ReadProfileString("OPTION", "FNAME", path_);
        ASSERT_TRUE(value.has_value()) << "round " << round;
        ASSERT_EQ(value->size(), big.size() + 1) << "round " << round;
        ASSERT_EQ(value->substr(1), big);
        ASSERT_EQ(Get().substr(0, 9), "[OPTION]\n");
    }
}

}  // namespace
}  // namespace kavo
