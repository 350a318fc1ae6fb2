// Copying the firmware onto a terminal's volume on Windows: the paths as UTF-16 at the calls, the
// data written through and flushed to the stick before the terminal is told.
#include "app/copy_file.h"

#include "platform/file_io.h"
#include "platform/win32_text.h"

#include <filesystem>
#include <memory>
#include <vector>

#include <windows.h>

namespace kavo {
namespace {

struct THandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using TFileHandle = std::unique_ptr<void, THandleCloser>;

TFileHandle OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE handle = ::CreateFileW(WideFromUtf8(path).c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    return TFileHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool CopyData(HANDLE from, HANDLE to) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return false;
        }
        if (got == 0) return true;
        DWORD written = 0;
        // A short write is a full volume.
        if (!::WriteFile(to, buffer.data(), got, &written, nullptr) || written != got) return false;
    }
}

}  // namespace

bool CopyFileTo(const std::string& source, const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = PathFromUtf8(target).parent_path();
    if (!folder.empty() && !fs::exists(folder, ec)) fs::create_directories(folder, ec);

    const DWORD attributes = ::GetFileAttributesW(WideFromUtf8(source).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    const TFileHandle in = OpenFile(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!in) return false;

    // Creating the target would empty the source if both were the same file.
    if (const TFileHandle existing = OpenFile(target, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              OPEN_EXISTING);
        existing && SameFile(in.get(), existing.get())) {
        return true;
    }

    // A file that is there goes first: replacing it in place fails on some FAT drivers (the FUSE
    // one under Wine refuses the writes) or keeps its old length (the end of a longer old image).
    ::DeleteFileW(WideFromUtf8(target).c_str());
    TFileHandle out = OpenFile(target, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!out) return false;
    bool complete = CopyData(in.get(), out.get()) && ::FlushFileBuffers(out.get());
    // The close of a written file is the last word on its data.
    complete = ::CloseHandle(out.release()) && complete;
    if (!complete) {
        ::DeleteFileW(WideFromUtf8(target).c_str());
        return false;
    }
    return true;
}

}  // namespace kavo
