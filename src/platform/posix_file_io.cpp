#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kavo {
namespace {

void FillFacts(const struct stat& st, TFileFacts& facts) {
    facts.folder = S_ISDIR(st.st_mode);
    facts.regular = S_ISREG(st.st_mode);
    facts.size = st.st_size;
    facts.modifiedSeconds = st.st_mtime;
    facts.changeStamp[0] = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    facts.changeStamp[1] = std::int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
}

}  // namespace

std::string ErrnoText(int error) { return std::strerror(error); }

std::string SystemMessageText(int number) {
    // strerrordesc_np gives nothing for a number the system does not know, where strerror would
    // make up "Unknown error N".
    const char* text = strerrordesc_np(number);
    return text ? text : std::string();
}

int ReadFileFacts(const std::string& path, TFileFacts& facts) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    FillFacts(st, facts);
    return 0;
}

TFileReader::TFileReader(const std::string& path) {
    handle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (handle_ < 0) error_ = errno;
}

TFileReader::~TFileReader() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

int TFileReader::Facts(TFileFacts& facts) const {
    if (handle_ < 0) return error_;
    struct stat st {};
    if (::fstat(static_cast<int>(handle_), &st) != 0) return errno;
    FillFacts(st, facts);
    return 0;
}

std::int64_t TFileReader::ReadAt(void* buffer, std::size_t size, std::int64_t offset) const {
    if (handle_ < 0) return -error_;
    for (;;) {
        const ssize_t n = ::pread(static_cast<int>(handle_), buffer, size, offset);
        if (n >= 0) return n;
        if (errno != EINTR) return -errno;
    }
}

TReplaceResult ReplaceFileContents(const std::string& path, const std::string& contents) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    // Beside the target, so that the rename stays within one file system.
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return {errno, true};
    temp = name.data();
    ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644);
    std::size_t written = 0;
    int err = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(temp.c_str());
    return {err, false};
}

bool FolderWritable(const std::string& folder) {
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

void SetEnvironment(const std::string& name, const char* value) {
    if (value) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

}  // namespace kavo
