#include "platform/win32_text.h"

#include "platform/program_arguments.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>

namespace kavo {
namespace {

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
    EXPECT_EQ(WideFromUtf8("펌웨어 1.bin"), L"\uD38C\uC6E8\uC5B4 1.bin");
    EXPECT_EQ(Utf8FromWide(L"\uD38C\uC6E8\uC5B4 1.bin"), "펌웨어 1.bin");
    // Outside the basic plane: a surrogate pair each way.
    EXPECT_EQ(WideFromUtf8("\xF0\x9F\x98\x80").size(), 2u);
    EXPECT_EQ(Utf8FromWide(WideFromUtf8("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(WideFromUtf8(""), L"");
    // A broken sequence becomes the replacement character rather than cutting the text.
    EXPECT_EQ(WideFromUtf8("a\xFF" "b"), L"a\uFFFDb");
}

TEST(Win32Text, SystemErrorsReadAsTheirErrnoMeaning) {
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_FILE_NOT_FOUND), ENOENT);
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_PATH_NOT_FOUND), ENOENT);
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_ACCESS_DENIED), EACCES);
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_SHARING_VIOLATION), EACCES);
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_FILENAME_EXCED_RANGE), ENAMETOOLONG);
    // Nothing unrelated reads as another meaning: an I/O error stays one.
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_GEN_FAILURE), EIO);
    EXPECT_EQ(ErrnoFromWin32Error(ERROR_OPERATION_ABORTED), EIO);
}

TEST(Win32Text, MessagesComeFromTheSystemsTableWithoutTheLineBreak) {
    const std::string text = Win32MessageText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    EXPECT_EQ(Win32MessageText(0x3FFFFFF0), "");
}

// The arguments come from the wide command line, one for each of main's.
TEST(Win32Text, ProgramArgumentsAreTheWideCommandLines) {
    const std::vector<std::string> arguments = ProgramArguments(__argc, __argv);
    ASSERT_EQ(arguments.size(), static_cast<std::size_t>(__argc));
    EXPECT_NE(arguments[0].find("unit_platform"), std::string::npos) << arguments[0];
}

}  // namespace
}  // namespace kavo
