// Profile (INI) files: the plain text settings files of the tool.
//
// A profile file holds section lines in square brackets and "key=value" lines below them. These
// functions keep the habits that the settings code relies on:
//  - section and key names are found without regard to case; blanks around names and values are
//    ignored when reading;
//  - a write changes only the one line it is about (or adds it); every other line, comments and
//    unknown sections included, stays as it was;
//  - a write creates the file (not its folder) when it does not exist yet;
//  - a write is atomic: the new contents go to a temporary file beside the target, which is then
//    renamed over it, so a crash leaves either the old or the new file, never a torn one.
// A section, key or value that cannot be stored on one line (a line break or a NUL in it), a key
// that contains '=' or begins with ';' or '[' (it would read back as a comment or a section
// line) and a section that contains ']' are rejected before anything is written.
//
// Thread safety: the functions keep no state; concurrent writers of one file may lose each
// other's changes (the last rename wins) but never tear the file.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavo {

// The value of `key` in `section` of the file, or nullopt when the file, the section or the key
// is missing (or the file cannot be read).
std::optional<std::string> ReadProfileString(const std::string& section, const std::string& key,
                                             const std::string& path);

// Every "key=value" line of `section`, in file order (keys as written); empty when the file or
// the section is missing.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& section,
                                                                    const std::string& path);

struct ProfileWriteResult {
    bool ok = false;
    std::string error;  // what went wrong, for a person; empty when ok
    explicit operator bool() const { return ok; }
};

// Sets `key` in `section` to `value`, adding the section or the key when they are missing.
ProfileWriteResult WriteProfileString(const std::string& section, const std::string& key,
                                      const std::string& value, const std::string& path);

// The same on a file's text already in memory: the file functions read the file and call these.
std::optional<std::string> ProfileTextValue(const std::string& text, const std::string& section,
                                            const std::string& key);
std::vector<std::pair<std::string, std::string>> ProfileTextSection(const std::string& text,
                                                                    const std::string& section);
// Sets `key` in `section` of `text` as WriteProfileString does in a file; nothing is changed
// when the names or the value cannot be stored. `path` is the file named in the error text.
ProfileWriteResult SetProfileTextValue(std::string& text, const std::string& section, const std::string& key,
                                       const std::string& value, const std::string& path);

}  // namespace kavo
