#include "serial/byte_rings.h"

#include <algorithm>
#include <cstring>

namespace kavo {

// --- both rings --------------------------------------------------------------------------------

void TByteRing::Allocate(std::uint32_t size) {
    buffer_.assign(size, 0);
    head_ = tail_ = 0;
    full_ = false;
}

void TByteRing::Release() {
    std::vector<std::uint8_t>().swap(buffer_);
    head_ = tail_ = 0;
    full_ = false;
}

std::uint32_t TByteRing::Used() const {
    if (full_) return Size();
    if (head_ >= tail_) return head_ - tail_;
    return head_ + Size() - tail_;
}

// --- output ring --------------------------------------------------------------------------------

void TOutputRing::Allocate(std::uint32_t size) {
    TByteRing::Allocate(size);
    ++generation_;
}

void TOutputRing::Release() {
    TByteRing::Release();
    ++generation_;
}

void TOutputRing::Queue(const std::uint8_t* data, std::uint32_t count) {
    if (buffer_.empty() || count == 0) return;
    const std::uint32_t room = Size() - head_;
    if (room >= count) {
        std::memcpy(buffer_.data() + head_, data, count);
        head_ = room == count ? 0 : head_ + count;
    } else {
        std::memcpy(buffer_.data() + head_, data, room);
        std::memcpy(buffer_.data(), data + room, count - room);
        head_ = count - room;
    }
    // Bytes went in and the positions meet: the ring is full, not empty.
    if (head_ == tail_) full_ = true;
}

std::span<const std::uint8_t> TOutputRing::NextRun() {
    if (Empty() || buffer_.empty()) return {};
    const std::uint32_t size = Size();
    if (head_ > tail_) return {buffer_.data() + tail_, head_ - tail_};
    if (head_ == 0) return {buffer_.data() + tail_, size - tail_};
    // Data at both ends: rotate so that the pending bytes start at 0 and one write takes them all.
    std::vector<std::uint8_t> start(buffer_.begin(), buffer_.begin() + head_);
    std::memmove(buffer_.data(), buffer_.data() + tail_, size - tail_);
    std::memcpy(buffer_.data() + (size - tail_), start.data(), start.size());
    head_ += size - tail_;
    tail_ = 0;
    const std::uint32_t length = head_;
    if (head_ == size) head_ = 0;
    return {buffer_.data(), length};
}

void TOutputRing::Consume(std::uint32_t count) {
    if (count == 0 || buffer_.empty()) return;
    tail_ += std::min(count, Used());
    if (tail_ >= Size()) tail_ = 0;
    if (tail_ == head_) head_ = tail_ = 0;
    full_ = false;
}

void TOutputRing::Clear() {
    head_ = tail_ = 0;
    full_ = false;
    ++generation_;
}

// --- receive ring -------------------------------------------------------------------------------

int TReceiveRing::Peek(std::uint32_t n) const {
    if (n < 1 || n > Used()) return -1;
    return buffer_[(tail_ + n - 1) % Size()];
}

bool TReceiveRing::Consume(std::uint32_t count) {
    if (count == 0 || buffer_.empty()) return false;
    const bool wasFull = full_;
    tail_ = (tail_ + std::min(count, Used())) % Size();
    full_ = false;
    return wasFull;
}

bool TReceiveRing::Clear() {
    const bool wasFull = full_;
    tail_ = head_;
    full_ = false;
    return wasFull;
}

std::span<std::uint8_t> TReceiveRing::FreeRun() {
    if (full_ || buffer_.empty()) return {};
    const std::uint32_t end = tail_ > head_ ? tail_ : Size();
    return {buffer_.data() + head_, end - head_};
}

void TReceiveRing::Commit(std::uint32_t count) {
    if (count == 0) return;
    head_ = (head_ + std::min(count, Free())) % Size();
    if (head_ == tail_) full_ = true;
}

}  // namespace kavo
