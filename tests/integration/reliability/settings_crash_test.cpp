// The settings file under faults: a writer killed at any moment of a write leaves either the old
// or the new file, and names that could not be read back are refused instead of written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/profile.h"
#include "support/fork_child.h"
#include "support/temp_dir.h"

namespace kavo::test {
namespace {

namespace fs = std::filesystem;

class SettingsFile : public ::testing::Test {
protected:
    TempDir dir_{"kavo-settings-crash"};
    const std::string path_ = dir_ / "setup.ini";
    std::string Get() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

// The file a writer leaves after `n` completed writes of its loop (each adds or changes a key).
std::string Value(int n) { return std::string(200 + (n * 37) % 900, static_cast<char>('a' + n % 26)); }

TEST_F(SettingsFile, KilledWriterLeavesOldOrNewFileNeverATornOne) {
    // A file with other content that every write must keep.
    ASSERT_TRUE(WriteProfileString("Keep", "Comment", "stays as it is", path_));
    ASSERT_TRUE(WriteProfileString("Option", "Value", Value(0), path_));

    std::mt19937 random(12345);
    int killedMidway = 0;
    for (int round = 0; round < 60; ++round) {
        const std::string before = Get();
        const pid_t child = ForkChild();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int n = 1;; ++n) {
                if (!WriteProfileString("Option", "Value", Value(n), path_)) ::_exit(3);
            }
        }
        // Kill it at a random moment, some rounds almost at once, some after many writes.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
        ++killedMidway;

        const std::string after = Get();
        // Whole: the kept section and exactly one complete value of the writer's sequence.
        EXPECT_EQ(ReadProfileString("Keep", "Comment", path_).value_or("?"), "stays as it is");
        const auto value = ReadProfileString("Option", "Value", path_);
        ASSERT_TRUE(value.has_value()) << "round " << round << ":\n" << after;
        bool known = false;
        for (int n = 0; n < 1000 && !known; ++n) known = *value == Value(n);
        EXPECT_TRUE(known || after == before) << "round " << round << " left a torn value";
        EXPECT_EQ(after, "[Keep]\nComment=stays as it is\n[Option]\nValue=" + *value + "\n");
    }
    EXPECT_EQ(killedMidway, 60);
    // Temporary files of killed writers may remain beside the file, but nothing replaces it.
    EXPECT_TRUE(fs::is_regular_file(path_));
}

TEST_F(SettingsFile, KeysThatWouldReadBackAsCommentsOrSectionsAreRefused) {
    ASSERT_TRUE(WriteProfileString("Setup", "Port", "COM3", path_));
    const std::string before = Get();
    for (const std::string key : {"[Setup]2Port", " [x", ";note", "  ;"}) {
        const auto result = WriteProfileString("Setup", key, "v", path_);
        EXPECT_FALSE(result) << key;
        EXPECT_FALSE(result.error.empty()) << key;
    }
    EXPECT_EQ(Get(), before);
    // A ';' or '[' inside a key is fine.
    ASSERT_TRUE(WriteProfileString("Setup", "a;b[c", "v", path_));
    EXPECT_EQ(ReadProfileString("Setup", "a;b[c", path_).value_or("?"), "v");
}

}  // namespace
}  // namespace kavo::test
