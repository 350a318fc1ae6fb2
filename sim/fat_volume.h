// FAT volumes for the terminal simulator's USB mode and for tests: an image file made with
// mkfs.vfat and mounted through FUSE with fusefat, so that the mount table shows it as a volume
// whose source is the image.
//
// The volume is unmounted and its files removed when the object goes away, on every path out of
// a test or a simulator run. Callers ask FatVolume::Unavailable() first and skip (a test) or stop
// with its text (a tool) when it is not empty (no /dev/fuse, no fusefat or mkfs.vfat, or no right
// to mount).
//
// Thread safety: one object belongs to one thread at a time; separate volumes may be made and
// removed from separate threads. RunProgram may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kavo::sim {

// Runs a program with arguments, its input empty and its output discarded; returns its exit
// status (128 + the signal when one ended it; -1 when it could not run or was still running after
// some minutes).
int RunProgram(const std::vector<std::string>& argv);

class FatVolume {
public:
    struct Options {
        int fatBits = 16;         // 12, 16 or 32
        int sizeKiB = 32 * 1024;  // big enough for the FAT type
        std::string label;        // none when empty
        std::string volumeId;     // eight hex digits, none when empty
        std::string mountName = "volume";  // name of the mount folder (may hold blanks)
    };

    // Why volumes cannot be made here, or empty when they can.
    static std::string Unavailable();

    // Creates the image in a fresh temporary folder (throws std::runtime_error on failure).
    explicit FatVolume(const Options& options);
    ~FatVolume();
    FatVolume(const FatVolume&) = delete;
    FatVolume& operator=(const FatVolume&) = delete;

    // Mounts the image read-write; waits until the mount table shows it. Throws on failure.
    void Mount();
    // Unmounts; waits until the mount table no longer shows it. Returns false when it failed.
    bool Unmount();
    bool Mounted() const { return mounted_; }

    const std::string& ImagePath() const { return image_; }
    // The mount folder: the volume's root while mounted.
    const std::string& Root() const { return root_; }
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
    std::string image_;
    std::string root_;
    bool mounted_ = false;
};

// A terminal's volume as the program's tests use it: FAT of `fatBits` and `sizeKiB`, with a Down
// folder in its root when `withDown`, and not mounted. Throws std::runtime_error on failure.
std::unique_ptr<FatVolume> MakeTerminalVolume(int fatBits, int sizeKiB, bool withDown);

// Whether the mount table of this process shows a mount at `mountPoint`.
bool IsMountPoint(const std::string& mountPoint);

}  // namespace kavo::sim
