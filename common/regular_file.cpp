#include "common/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vimo {

namespace {

// What a file that is not regular is, for the refusal. Columns: file type bits, name.
struct KindRow {
    mode_t type;
    const char* name;
};
const KindRow kKinds[] = {
    {S_IFLNK, "a symbolic link"}, {S_IFIFO, "a FIFO"},       {S_IFCHR, "a character device"},
    {S_IFBLK, "a block device"},  {S_IFDIR, "a directory"}, {S_IFSOCK, "a socket"},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == 6, "file types");

// "1 MiB", "64 KiB" or "100 bytes".
std::string Size(size_t bytes) {
    if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::string FileKind(mode_t mode) {
    if (S_ISREG(mode)) return "";
    for (const KindRow& k : kKinds)
        if ((mode & S_IFMT) == k.type) return k.name;
    return "not a regular file";
}

bool ReadRegularFile(const std::string& path, const std::string& what, size_t max_bytes,
                     std::string& text, std::string& error, struct stat* info) {
    const std::string cannot = "cannot read " + what + ": ";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = cannot + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) error = cannot + std::strerror(errno);
    if (ok && !S_ISREG(st.st_mode)) {
        error = "is " + FileKind(st.st_mode) + ", not a regular file";
        ok = false;
    }
    // Some files say nothing true of their size (/proc): the read below stops one byte
    // past the limit whatever st_size says.
    const std::string too_large = "is larger than " + Size(max_bytes);
    if (ok && static_cast<uint64_t>(st.st_size) > max_bytes) {
        error = too_large;
        ok = false;
    }
    text.clear();
    char buffer[16384];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = cannot + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text.size() + static_cast<size_t>(n) > max_bytes) {
            error = too_large;
            ok = false;
        } else {
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (ok && info) *info = st;
    if (!ok) text.clear();
    return ok;
}

int CreateNewFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                0644);
}

}  // namespace vimo
