// A folder of a test's own under /tmp, made when the object is and removed with everything in it
// when the object goes away, on every path out of the test.
//
// Thread safety: one object belongs to one thread at a time.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kavo::test {

class TempDir {
public:
    // `tag` names the folder (/tmp/<tag>-XXXXXX), so that one left by a killed run tells whose
    // it is.
    explicit TempDir(const std::string& tag = "kavo") {
        std::string pattern = "/tmp/" + tag + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
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
