#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "support/read_file.h"
#include "support/temp_dir.h"

namespace kavo {
namespace {

using test::TempDir;

// Paths are UTF-8 text; a folder and a file named in Hangul, with spaces, are found, written,
// read and listed under the names they were given.
TEST(FileIo, Utf8PathsReachTheSystemAsTheyAreNamed) {
    TempDir dir("kavo-file-io");
    const std::string folder = Utf8FromPath(dir.Path()) + "/펌웨어 폴더";
    std::filesystem::create_directory(PathFromUtf8(folder));
    const std::string path = folder + "/새 펌웨어 1.bin";
    const std::string contents("\x01\x02\x00\xFF data", 9);

    ASSERT_EQ(ReplaceFileContents(path, contents).error, 0);
    TFileFacts facts;
    ASSERT_EQ(ReadFileFacts(path, facts), 0);
    EXPECT_TRUE(facts.regular);
    EXPECT_FALSE(facts.folder);
    EXPECT_EQ(facts.size, 9);
    ASSERT_EQ(ReadFileFacts(folder, facts), 0);
    EXPECT_TRUE(facts.folder);
    EXPECT_FALSE(facts.regular);

    const TFileReader reader(path);
    ASSERT_EQ(reader.Error(), 0);
    char buffer[16] = {};
    EXPECT_EQ(reader.ReadAt(buffer, sizeof buffer, 0), 9);
    EXPECT_EQ(std::string(buffer, 9), contents);
    EXPECT_EQ(reader.ReadAt(buffer, 4, 5), 4);
    EXPECT_EQ(std::string(buffer, 4), "data");
    EXPECT_EQ(reader.ReadAt(buffer, sizeof buffer, 9), 0);   // at the end
    EXPECT_EQ(reader.ReadAt(buffer, sizeof buffer, 100), 0); // past it

    // The standard library's streams take the same path.
    EXPECT_EQ(test::ReadFile(PathFromUtf8(path)), contents);
    EXPECT_EQ(Utf8FromPath(PathFromUtf8(path)), path);
    std::FILE* file = OpenStdioFile(folder + "/추가.txt", "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(ReadFileFacts(folder + "/추가.txt", facts), 0);
}

TEST(FileIo, ReplacingKeepsTheOldFileUntilTheNewOneIsWhole) {
    TempDir dir("kavo-file-io");
    const std::string path = Utf8FromPath(dir.Path()) + "/Option.ini";
    ASSERT_EQ(ReplaceFileContents(path, "[OPTION]\nPORT=3\n").error, 0);
    ASSERT_EQ(ReplaceFileContents(path, "[OPTION]\nPORT=4\n").error, 0);
    EXPECT_EQ(test::ReadFile(PathFromUtf8(path)), "[OPTION]\nPORT=4\n");
    // Nothing but the file is left in the folder: no temporary file.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) ++entries;
    EXPECT_EQ(entries, 1);

    // A missing folder: no temporary file can be made, and the error says so.
    const TReplaceResult missing = ReplaceFileContents(Utf8FromPath(dir.Path()) + "/none/x.ini", "x");
    EXPECT_TRUE(missing.noTemporaryFile);
    EXPECT_EQ(missing.error, ENOENT);
}

TEST(FileIo, MissingFilesAreNoSuchFile) {
    TempDir dir("kavo-file-io");
    const std::string path = Utf8FromPath(dir.Path()) + "/missing.bin";
    TFileFacts facts;
    EXPECT_EQ(ReadFileFacts(path, facts), ENOENT);
    const TFileReader reader(path);
    EXPECT_EQ(reader.Error(), ENOENT);
    char buffer[4];
    EXPECT_EQ(reader.ReadAt(buffer, sizeof buffer, 0), -ENOENT);
    EXPECT_FALSE(ErrnoText(ENOENT).empty());
    EXPECT_TRUE(FolderWritable(Utf8FromPath(dir.Path())));
    EXPECT_FALSE(FolderWritable(path));
}

TEST(FileIo, PathSeparators) {
    EXPECT_EQ(LastPathSeparator("/a/b.bin"), 2u);
    EXPECT_EQ(LastPathSeparator("b.bin"), std::string::npos);
#ifdef _WIN32
    EXPECT_EQ(LastPathSeparator("C:\\fw\\b.bin"), 5u);
    EXPECT_EQ(LastPathSeparator("C:\\fw/x\\b.bin"), 7u);
#else
    // A backslash is an ordinary character of a Linux file name.
    EXPECT_EQ(LastPathSeparator("/fw/a\\b.bin"), 3u);
#endif
}

}  // namespace
}  // namespace kavo
