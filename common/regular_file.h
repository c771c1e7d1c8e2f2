// Reading and creating the files vimohost owns or is pointed at, so that no path can
// hold the program up or turn a write elsewhere: a FIFO, a device or an endless file
// in place of a configuration is refused unread, and a file vimohost creates is never
// reached through a symbolic link.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace vimo {

// What a file of mode `mode` is when it is not regular: "a FIFO", "a directory", ...;
// "" for a regular file.
std::string FileKind(mode_t mode);

// Reads the whole of `path` into `text`. Opened without waiting (a FIFO with no writer
// would block open() for ever) and refused unless it is a regular file of at most
// `max_bytes`. `info`, if given, receives the file's status as opened, for checks of
// its owner or mode that cannot race a swap of the path. False with a one-line error
// that does not repeat the path: "cannot read WHAT: <reason>", "is a FIFO, not a
// regular file" or "is larger than N bytes".
bool ReadRegularFile(const std::string& path, const std::string& what, size_t max_bytes,
                     std::string& text, std::string& error, struct stat* info = nullptr);

// Creates `path` afresh for writing (mode 0644 before the umask): it must not exist,
// and a symbolic link planted there is not followed. -1 with errno set otherwise.
int CreateNewFile(const std::string& path);

}  // namespace vimo
