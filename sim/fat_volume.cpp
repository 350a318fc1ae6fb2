#include "fat_volume.h"

#include "child_process.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace kavo::sim {

namespace {

// How long a helper program (mkfs.vfat, fusefat, fusermount) may take before it is killed.
constexpr auto kProgramLimit = std::chrono::minutes(5);

std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string Unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv) {
    // The system folders too: mkfs.vfat lives in sbin, which a user's PATH may leave out.
    const char* path = std::getenv("PATH");
    ChildProcess child({.argv = argv,
                        .env = {std::string("PATH=") + (path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin"},
                        .in = ChildProcess::Input::Null,
                        .out = ChildProcess::Output::Null,
                        .err = ChildProcess::Output::Null});
    if (!child.Started()) return -1;
    return child.Wait(kProgramLimit).value_or(-1);
}

bool IsMountPoint(const std::string& mountPoint) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (Unescape(point) == mountPoint) return true;
    }
    return false;
}

std::string FatVolume::Unavailable() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse (FUSE is missing here)";
    if (FindProgram("fusefat").empty()) return "fusefat is not installed";
    if (FindProgram("mkfs.vfat").empty()) return "mkfs.vfat is not installed";
    if (FindProgram("fusermount").empty() && FindProgram("fusermount3").empty()) {
        return "fusermount is not installed";
    }
    return {};
}

FatVolume::FatVolume(const Options& options) {
    char pattern[] = "/tmp/kavo-fat-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    image_ = folder_ + "/fat" + std::to_string(options.fatBits) + ".img";
    root_ = folder_ + "/" + options.mountName;
    std::filesystem::create_directories(root_);
    std::vector<std::string> argv{"mkfs.vfat", "-F", std::to_string(options.fatBits)};
    if (!options.label.empty()) argv.insert(argv.end(), {"-n", options.label});
    if (!options.volumeId.empty()) argv.insert(argv.end(), {"-i", options.volumeId});
    argv.insert(argv.end(), {"-C", image_, std::to_string(options.sizeKiB)});
    if (RunProgram(argv) != 0) {
        std::filesystem::remove_all(folder_);
        throw std::runtime_error("mkfs.vfat failed for " + image_);
    }
}

std::unique_ptr<FatVolume> MakeTerminalVolume(int fatBits, int sizeKiB, bool withDown) {
    FatVolume::Options options;
    options.fatBits = fatBits;
    options.sizeKiB = sizeKiB;
    auto volume = std::make_unique<FatVolume>(options);
    if (withDown) {
        volume->Mount();
        std::filesystem::create_directories(std::filesystem::path(volume->Root()) / "Down");
        if (!volume->Unmount()) throw std::runtime_error("could not unmount " + volume->ImagePath());
    }
    return volume;
}

FatVolume::~FatVolume() {
    if (mounted_ && !Unmount()) {
        // Detach it at least, so that no test leaves a mount behind.
        RunProgram({"fusermount", "-u", "-z", root_});
        RunProgram({"umount", "-l", root_});
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void FatVolume::Mount() {
    if (mounted_) return;
    if (RunProgram({"fusefat", "-o", "rw+,fsname=" + image_, image_, root_}) != 0) {
        throw std::runtime_error("fusefat could not mount " + image_);
    }
    mounted_ = true;
    if (!WaitFor([&] { return IsMountPoint(root_); }, std::chrono::seconds(10))) {
        throw std::runtime_error("the mount of " + image_ + " did not appear");
    }
}

bool FatVolume::Unmount() {
    if (!mounted_) return true;
    bool done = false;
    for (int attempt = 0; attempt < 50 && !done; ++attempt) {
        done = RunProgram({"fusermount", "-u", root_}) == 0 || RunProgram({"umount", root_}) == 0;
        if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // busy: retry
    }
    if (!done) return false;
    mounted_ = false;
    return WaitFor([&] { return !IsMountPoint(root_); }, std::chrono::seconds(10));
}

}  // namespace kavo::sim
