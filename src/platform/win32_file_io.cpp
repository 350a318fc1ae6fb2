#include "platform/file_io.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win32_text.h"

namespace kavo {
namespace {

std::int64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// 100 ns steps from 1601 to seconds from 1970.
std::int64_t EpochSeconds(const FILETIME& time) {
    return FileTimeValue(time) / 10000000 - 11644473600LL;
}

int LastErrno() { return ErrnoFromWin32Error(::GetLastError()); }

class THandle {
public:
    explicit THandle(HANDLE handle) : handle_(handle) {}
    ~THandle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return handle_; }
    bool Close() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle);
    }

private:
    HANDLE handle_;
};

}  // namespace

std::string ErrnoText(int error) { return std::strerror(error); }

std::string SystemMessageText(int number) {
    return Win32MessageText(static_cast<unsigned long>(number));
}

int ReadFileFacts(const std::string& path, TFileFacts& facts) {
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!::GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
        return LastErrno();
    }
    facts.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.regular = !facts.folder && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    facts.size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    facts.modifiedSeconds = EpochSeconds(data.ftLastWriteTime);
    facts.changeStamp[0] = FileTimeValue(data.ftLastWriteTime);
    facts.changeStamp[1] = FileTimeValue(data.ftCreationTime);
    return 0;
}

TFileReader::TFileReader(const std::string& path) {
    // Others may read the file while we do, but not write it: the bytes we read are one version.
    const HANDLE handle =
        ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error_ = LastErrno();
    } else {
        handle_ = reinterpret_cast<std::intptr_t>(handle);
    }
}

TFileReader::~TFileReader() {
    if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int TFileReader::Facts(TFileFacts& facts) const {
    if (handle_ == -1) return error_;
    BY_HANDLE_FILE_INFORMATION info {};
    if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &info)) return LastErrno();
    facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.regular = !facts.folder &&
                    ::GetFileType(reinterpret_cast<HANDLE>(handle_)) == FILE_TYPE_DISK;
    facts.size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    facts.modifiedSeconds = EpochSeconds(info.ftLastWriteTime);
    facts.changeStamp[0] = FileTimeValue(info.ftLastWriteTime);
    facts.changeStamp[1] = FileTimeValue(info.ftCreationTime);
    return 0;
}

std::int64_t TFileReader::ReadAt(void* buffer, std::size_t size, std::int64_t offset) const {
    if (handle_ == -1) return -error_;
    OVERLAPPED at {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD wanted = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, wanted, &read, &at)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) return 0;
        return -ErrnoFromWin32Error(error);
    }
    return read;
}

TReplaceResult ReplaceFileContents(const std::string& path, const std::string& contents) {
    const std::wstring target = WideFromUtf8(path);
    // Beside the target, so that the rename stays within one volume.
    std::wstring temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temp = target + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(attempt) + L".tmp";
        created = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (created == INVALID_HANDLE_VALUE) return {LastErrno(), true};
    THandle file(created);
    int err = 0;
    std::size_t written = 0;
    while (err == 0 && written < contents.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(contents.size() - written, 1 << 20));
        if (!::WriteFile(file.Get(), contents.data() + written, chunk, &n, nullptr)) {
            err = LastErrno();
        }
        written += n;
    }
    if (err == 0 && !::FlushFileBuffers(file.Get())) err = LastErrno();
    if (!file.Close() && err == 0) err = LastErrno();
    if (err == 0 &&
        !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = LastErrno();
    }
    if (err != 0) ::DeleteFileW(temp.c_str());
    return {err, false};
}

bool FolderWritable(const std::string& folder) {
    // Access rights on Windows are lists, not bits: trying is the one sure answer.
    std::wstring probe = WideFromUtf8(folder);
    if (!probe.empty() && probe.back() != L'\\' && probe.back() != L'/') probe += L'\\';
    probe += L"kavodown-" + std::to_wstring(::GetCurrentProcessId()) + L".probe";
    const HANDLE handle = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(handle);
    return true;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) {
    return ::_wfopen(WideFromUtf8(path).c_str(), WideFromUtf8(mode).c_str());
}

void SetEnvironment(const std::string& name, const char* value) {
    ::_wputenv_s(WideFromUtf8(name).c_str(), value ? WideFromUtf8(value).c_str() : L"");
}

}  // namespace kavo
