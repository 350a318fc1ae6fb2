// Copying the firmware file onto a terminal's volume.
#pragma once

#include <string>

namespace kavo {

// Copies the file `source` to `target`, replacing a file that is there, after creating the folder
// of `target` with all missing parents. Nothing is thrown; the result tells what happened:
//  - false when `source` is not a file or cannot be opened, or `target` cannot be created;
//  - false when the copy fails on the way (a read or write error, a short write, a full volume,
//    an error when the data is flushed or the file closed). The incomplete target is removed then,
//    so that a terminal never finds half a firmware image under the right name;
//  - true when every byte is on the volume and the target is closed (also when both names are
//    the same file, which is then left as it is).
// The data is flushed to the device before the call returns: the terminal is told about the file
// right afterwards and reads the volume behind the system's back.
bool CopyFileTo(const std::string& source, const std::string& target);

}  // namespace kavo
