#include "app/copy_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class CopyFileTest : public ::testing::Test {
protected:
    test::TempDir temp_{"kavo-copy"};
    const std::filesystem::path& dir_ = temp_.Path();
};

TEST_F(CopyFileTest, CopiesEveryByteIntoNewFolders) {
    // Larger than the copy buffer and not a multiple of it; all byte values.
    std::string bytes = Pattern(200001);
    WriteAll(dir_ / "fw.bin", bytes);
    fs::path target = dir_ / "vol" / "Down" / "deep" / "fw.bin";
    EXPECT_TRUE(CopyFileTo((dir_ / "fw.bin").string(), target.string()));
    EXPECT_EQ(ReadAll(target), bytes);

    // An empty file is copied as an empty file.
    WriteAll(dir_ / "empty.bin", "");
    EXPECT_TRUE(CopyFileTo((dir_ / "empty.bin").string(), (dir_ / "out.bin").string()));
    EXPECT_TRUE(fs::exists(dir_ / "out.bin"));
    EXPECT_EQ(fs::file_size(dir_ / "out.bin"), 0u);
}

TEST_F(CopyFileTest, ReplacesALongerTargetCompletely) {
    WriteAll(dir_ / "new.bin", "short");
    WriteAll(dir_ / "old.bin", std::string(10000, 'x'));
    EXPECT_TRUE(CopyFileTo((dir_ / "new.bin").string(), (dir_ / "old.bin").string()));
    EXPECT_EQ(ReadAll(dir_ / "old.bin"), "short");
}

TEST_F(CopyFileTest, MissingSourceStillCreatesTheFolder) {
    fs::path target = dir_ / "a" / "b" / "fw.bin";
    EXPECT_FALSE(CopyFileTo((dir_ / "absent.bin").string(), target.string()));
    EXPECT_TRUE(fs::is_directory(dir_ / "a" / "b"));
    EXPECT_FALSE(fs::exists(target));
    // A folder is not a file to copy.
    EXPECT_FALSE(CopyFileTo((dir_ / "a").string(), target.string()));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(CopyFileTo("", target.string()));
}

TEST_F(CopyFileTest, TargetThatCannotBeCreatedFails) {
    WriteAll(dir_ / "fw.bin", "data");
    fs::create_directories(dir_ / "taken");
    EXPECT_FALSE(CopyFileTo((dir_ / "fw.bin").string(), (dir_ / "taken").string()));
    EXPECT_TRUE(fs::is_directory(dir_ / "taken"));
    // The folder part is a file: it can be neither created nor written into.
    EXPECT_FALSE(CopyFileTo((dir_ / "fw.bin").string(), (dir_ / "fw.bin" / "x").string()));
    EXPECT_EQ(ReadAll(dir_ / "fw.bin"), "data");
}

TEST_F(CopyFileTest, SameFileIsLeftIntact) {
    std::string bytes = Pattern(5000);
    WriteAll(dir_ / "fw.bin", bytes);
    EXPECT_TRUE(CopyFileTo((dir_ / "fw.bin").string(), (dir_ / "." / "fw.bin").string()));
    EXPECT_EQ(ReadAll(dir_ / "fw.bin"), bytes);
    fs::create_hard_link(dir_ / "fw.bin", dir_ / "link.bin");
    EXPECT_TRUE(CopyFileTo((dir_ / "fw.bin").string(), (dir_ / "link.bin").string()));
    EXPECT_EQ(ReadAll(dir_ / "fw.bin"), bytes);
}

#ifndef _WIN32  // a file size limit is a Linux means
TEST_F(CopyFileTest, ShortWriteFailsAndLeavesNoPartialFile) {
    std::string bytes = Pattern(300000);
    WriteAll(dir_ / "fw.bin", bytes);
    WriteAll(dir_ / "target.bin", "previous");
    // A file size limit makes the volume take only part of the file, as a full volume would.
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 100000;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    bool copied = CopyFileTo((dir_ / "fw.bin").string(), (dir_ / "target.bin").string());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(copied);
    EXPECT_FALSE(fs::exists(dir_ / "target.bin"));
    EXPECT_EQ(ReadAll(dir_ / "fw.bin"), bytes);
}
#endif

}  // namespace
}  // namespace kavo
