// A folder of a test's own under /tmp (the system's temporary folder on Windows), made when the
// object is and removed with everything in it when the object goes away, on every path out of
// the test.
//
// Thread safety: one object belongs to one thread at a time.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kavo::test {

class TempDir {
public:
    // `tag` names the folder (/tmp/<tag>-XXXXXX), so that one left by a killed run tells whose
    // it is.
    explicit TempDir(const std::string& tag = "kavo") {
#ifdef _WIN32
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   (tag + "-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
        if (path_.empty()) throw std::runtime_error("no temporary folder for " + tag);
#else
        std::string pattern = "/tmp/" + tag + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The path of `name` inside the folder.
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace kavo::test
