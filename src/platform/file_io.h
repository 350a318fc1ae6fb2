// Files by their UTF-8 paths, on either platform.
//
// Paths travel through the tool as UTF-8 text. On Linux that is what the system takes; on Windows
// the system calls take UTF-16, so every path is converted at the call (a firmware file in a
// folder named in Hangul opens as it is named). Failures come back as errno values on both
// platforms (ENOENT, EACCES, ...), so the layers above word them the same way everywhere.
//
// Thread safety: no shared state; any thread may call. One TFileReader belongs to one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace kavo {

std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8FromPath(const std::filesystem::path& path);

// Whether `c` separates folders in a path: '/' everywhere, also '\' on Windows.
bool IsPathSeparator(char c);
// The position of the last separator in `path`, or npos.
std::size_t LastPathSeparator(const std::string& path);

// The system's text for an errno value ("No such file or directory").
std::string ErrnoText(int error);
// The system's own message for its error number `number` (errno on Linux, the message table's
// entry on Windows), as the system words it; empty when the system has none.
std::string SystemMessageText(int number);

// What the system knows of a file. `changeStamp` changes whenever the file's contents or size
// may have changed (the modification and status change times together).
struct TFileFacts {
    bool folder = false;
    bool regular = false;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;  // since the epoch
    std::int64_t changeStamp[2] = {0, 0};
};
bool SameFileVersion(const TFileFacts& a, const TFileFacts& b);

// The facts of the file at `path`: 0, or the errno of the failure (ENOENT for a missing one).
int ReadFileFacts(const std::string& path, TFileFacts& facts);

// A file open for reading. The open never waits (a FIFO in a file's place does not hold it) and,
// on Windows, shares the file for reading only, so nobody writes to it while it is open.
class TFileReader {
public:
    explicit TFileReader(const std::string& path);
    ~TFileReader();
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    // 0 when the file is open, else the errno of the failed open.
    int Error() const { return error_; }
    int Facts(TFileFacts& facts) const;
    // Up to `size` bytes from `offset`: the count read (0 at the end), or -errno.
    std::int64_t ReadAt(void* buffer, std::size_t size, std::int64_t offset) const;

private:
    std::intptr_t handle_ = -1;
    int error_ = 0;
};

// Replaces the file at `path` with `contents` atomically: a temporary file beside it is written,
// flushed to the disk and renamed over the target (whose permissions it keeps), so a crash leaves
// the old or the new file, never a torn one.
struct TReplaceResult {
    int error = 0;                   // 0, or the errno of the failure
    bool noTemporaryFile = false;    // the temporary file could not be made at all
};
TReplaceResult ReplaceFileContents(const std::string& path, const std::string& contents);

// Whether the running program may create files in `folder`.
bool FolderWritable(const std::string& folder);

// std::fopen by a UTF-8 path.
std::FILE* OpenStdioFile(const std::string& path, const char* mode);

// Sets (or, with nullptr, removes) an environment variable of this process.
void SetEnvironment(const std::string& name, const char* value);

}  // namespace kavo
