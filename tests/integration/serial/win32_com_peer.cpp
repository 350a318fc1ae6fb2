#include "win32_com_peer.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <windows.h>

namespace kavo::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for an overlapped call that is pending; true when it completed, with its count.
bool Complete(HANDLE handle, BOOL started, OVERLAPPED& overlapped, DWORD& count) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
    return ::GetOverlappedResult(handle, &overlapped, &count, TRUE) != FALSE;
}

}  // namespace

TComPeer::TComPeer(int number) {
    const std::wstring name = L"\\\\.\\COM" + std::to_wstring(number);
    handle_ = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle_, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    ::SetCommState(handle_, &dcb);
    // A read takes only what is waiting (TakeWaiting asks for no more than that).
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ::SetCommTimeouts(handle_, &timeouts);
}

TComPeer::~TComPeer() {
    if (Opened()) ::CloseHandle(handle_);
}

bool TComPeer::Opened() const { return handle_ != INVALID_HANDLE_VALUE; }

void TComPeer::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (done < bytes.size()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 65536));
        const BOOL started = ::WriteFile(handle_, bytes.data() + done, chunk, &written, &overlapped);
        if (!Complete(handle_, started, overlapped, written)) break;
        done += written;
    }
    ::CloseHandle(event);
    if (done < bytes.size()) throw std::runtime_error("the far end's write failed: " + std::to_string(::GetLastError()));
}

void TComPeer::Write(const std::string& bytes) { Write(std::vector<std::uint8_t>(bytes.begin(), bytes.end())); }

std::size_t TComPeer::TakeWaiting(std::vector<std::uint8_t>& into, std::size_t limit) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handle_, &errors, &stat) || stat.cbInQue == 0 || limit == 0) return 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(stat.cbInQue, limit));
    const std::size_t at = into.size();
    into.resize(at + want);
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD got = 0;
    const BOOL started = ::ReadFile(handle_, into.data() + at, want, &got, &overlapped);
    if (!Complete(handle_, started, overlapped, got)) got = 0;
    ::CloseHandle(event);
    into.resize(at + got);
    return got;
}

std::vector<std::uint8_t> TComPeer::Read(std::size_t count, std::chrono::milliseconds deadline) {
    std::vector<std::uint8_t> bytes;
    const auto end = Clock::now() + deadline;
    while (bytes.size() < count && Clock::now() < end) {
        if (TakeWaiting(bytes, count - bytes.size()) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return bytes;
}

std::vector<std::uint8_t> TComPeer::ReadUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds deadline) {
    std::vector<std::uint8_t> bytes;
    const auto end = Clock::now() + deadline;
    auto lastByte = Clock::now();
    while (Clock::now() < end && Clock::now() - lastByte < quiet) {
        if (TakeWaiting(bytes, SIZE_MAX) > 0) {
            lastByte = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return bytes;
}

}  // namespace kavo::test
