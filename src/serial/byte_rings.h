// The dispatcher's two byte rings.
//
// TOutputRing holds bytes queued for the device until the device layer has written them. The
// device layer's write loop is: take the next run, write it, consume what the device took. The
// next run is always every pending byte in one piece: a ring whose bytes wrap around its end is
// rotated first, so one device write never has to be split in two.
//
// TReceiveRing holds bytes read from the device until the layers above have read them. The
// device layer reads into the free run behind the received bytes and commits what it got.
//
// Each ring remembers whether its positions meet because it is full or because it is empty.
// Thread safety: none of their own; the dispatcher guards each ring with its lock (outputLock,
// inputLock).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kavo {

// What both rings share: the storage, the two positions and the flag that tells a full ring from
// an empty one.
class TByteRing {
public:
    // An empty ring of `size` bytes; Release gives the storage back (a ring of size 0).
    void Allocate(std::uint32_t size);
    void Release();
    bool Allocated() const { return !buffer_.empty(); }
    std::uint32_t Size() const { return static_cast<std::uint32_t>(buffer_.size()); }

    std::uint32_t Used() const;
    std::uint32_t Free() const { return Size() - Used(); }
    bool Empty() const { return !full_ && head_ == tail_; }
    bool Full() const { return full_; }

protected:
    std::vector<std::uint8_t> buffer_;
    std::uint32_t head_ = 0;  // where the next byte goes
    std::uint32_t tail_ = 0;  // the oldest byte held
    bool full_ = false;
};

class TOutputRing : public TByteRing {
public:
    void Allocate(std::uint32_t size);
    void Release();

    // Copies the bytes behind those queued; the caller has checked that they fit.
    void Queue(const std::uint8_t* data, std::uint32_t count);
    // Every pending byte as one run (empty when nothing is pending).
    std::span<const std::uint8_t> NextRun();
    // `count` bytes of the run left the ring.
    void Consume(std::uint32_t count);
    // Drops every pending byte. A writer that took a run before the clear sees it by the
    // generation, which every clear changes, and must not consume that run.
    void Clear();
    std::uint32_t Generation() const { return generation_; }

private:
    std::uint32_t generation_ = 0;
};

class TReceiveRing : public TByteRing {
public:
    // Where the next received byte goes; it moves with each commit.
    std::uint32_t Head() const { return head_; }

    // The n-th unread byte (1 is the oldest), or -1 when fewer are held.
    int Peek(std::uint32_t n) const;
    // Drops the `count` oldest bytes; true when the ring was full before.
    bool Consume(std::uint32_t count);
    // Drops every unread byte; true when the ring was full before.
    bool Clear();

    // The free space right behind the received bytes, up to the ring's end.
    std::span<std::uint8_t> FreeRun();
    // `count` bytes were written into the free run.
    void Commit(std::uint32_t count);
};

}  // namespace kavo
