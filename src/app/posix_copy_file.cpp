#include "app/copy_file.h"

#include "platform/unique_fd.h"

#include <cerrno>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo {

namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;  // no progress: the volume takes no more
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CopyData(int from, int to) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) return false;
    }
}

// fsync, where the file system has it at all.
bool Flush(int fd) {
    return fsync(fd) == 0 || errno == EINVAL || errno == ENOSYS || errno == EROFS;
}

}  // namespace

bool CopyFileTo(const std::string& source, const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path folder = fs::path(target).parent_path();
    if (!folder.empty() && !fs::exists(folder, ec)) fs::create_directories(folder, ec);

    struct stat sourceStat {};
    if (stat(source.c_str(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) return false;
    const TUniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return false;

    // Creating the target would empty the source if both were the same file.
    struct stat targetStat {};
    if (stat(target.c_str(), &targetStat) == 0 && targetStat.st_dev == sourceStat.st_dev &&
        targetStat.st_ino == sourceStat.st_ino) {
        return true;
    }

    // A file already there is removed, not written over: some FAT drivers refuse to write into
    // an existing file, or keep its old length, so a shorter image would end in the old one's
    // tail. Where it cannot be removed, the truncating open still replaces its bytes.
    unlink(target.c_str());
    TUniqueFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return false;
    bool complete = CopyData(in.Get(), out.Get()) && Flush(out.Get());
    // The close of a written file is the last word on its data.
    complete = close(out.Release()) == 0 && complete;
    if (!complete) {
        unlink(target.c_str());
        return false;
    }
    // The new directory entry is on the volume too.
    const TUniqueFd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) fsync(dir.Get());
    return true;
}

}  // namespace kavo
