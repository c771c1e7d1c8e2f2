#include "common/hints.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/address.h"

namespace vimo {

namespace {

// Which side a hint is for.
enum class Side : unsigned char { kSerial, kGateway, kEither };

// Columns: errno, side, after the line was open (true) or while opening it (false),
// the hint. The first row that fits is taken.
struct LineHintRow {
    int error;
    Side side;
    bool exchange;
    const char* hint;
};
const LineHintRow kLineHints[] = {
    {ETIMEDOUT, Side::kSerial, true,
     "no answer at all: check the slave id, the baud rate and parity, and the wiring (A and B "
     "swapped, no common ground)"},
    {ETIMEDOUT, Side::kGateway, true,
     "the gateway took the request but no answer came: check the slave id (the gateway's unit "
     "id), and the gateway's serial side: baud rate, parity, wiring to the UPS"},
    {EINPROGRESS, Side::kGateway, false,
     "no answer to the connection: check the gateway's address, that it is switched on and "
     "reachable, and firewalls"},
    {ETIMEDOUT, Side::kGateway, false,
     "no answer to the connection: check the gateway's address, that it is switched on and "
     "reachable, and firewalls"},
    {ECONNREFUSED, Side::kGateway, false,
     "the host answers but nothing listens on that port: check the port (502 usually) and "
     "that the gateway's Modbus TCP server is enabled"},
    {ECONNRESET, Side::kGateway, true,
     "a gateway that ends connections may serve fewer clients at once, or only some addresses"},
    {ECONNRESET, Side::kGateway, false,
     "a gateway that ends connections may serve fewer clients at once, or only some addresses"},
    {EHOSTUNREACH, Side::kGateway, false, "no route to the gateway: check its address and the network"},
    {ENETUNREACH, Side::kGateway, false, "no route to the gateway: check its address and the network"},
    {ENOENT, Side::kSerial, false,
     "no such device: check the port's name (ls /dev/ttyUSB* /dev/ttyS*) and that the adapter "
     "is plugged in"},
    {ENXIO, Side::kSerial, false, "the device is there but no port answers: check the adapter"},
    {EIO, Side::kEither, true, "input/output error: an adapter unplugged or failing"},
};
static_assert(sizeof kLineHints / sizeof kLineHints[0] == 12, "one row per hint");

// "crw-rw----" of a mode.
std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; --bit) text += (mode & (1u << bit)) ? letters[(8 - bit) % 3] : '-';
    return text;
}

std::string UserName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

// The group's name, and whether the group lists `user` as a member.
std::string GroupName(gid_t gid, const std::string& user, bool& lists_user) {
    std::vector<char> buffer(65536);
    group entry{};
    group* found = nullptr;
    lists_user = false;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return "gid " + std::to_string(gid);
    for (char** member = found->gr_mem; member && *member; ++member)
        lists_user = lists_user || user == *member;
    return found->gr_name;
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<size_t>(i)] == gid) return true;
    return false;
}

}  // namespace

std::string LineHint(int error, bool tcp, bool exchange) {
    const Side side = tcp ? Side::kGateway : Side::kSerial;
    for (const LineHintRow& row : kLineHints)
        if (row.error == error && row.exchange == exchange &&
            (row.side == side || row.side == Side::kEither))
            return std::string(" (") + row.hint + ")";
    return "";
}

std::string SerialAccessHint(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "";
    const std::string user = UserName(geteuid());
    bool listed = false;
    const std::string group = GroupName(st.st_gid, user, listed);
    std::string text = " (" + path + " is " + ModeText(st.st_mode) + " " + UserName(st.st_uid) +
                       ":" + group + "; vimohost runs as " + user;
    const bool group_rw = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (InGroup(st.st_gid)) {
        text += ", a member of " + group;
        if (!group_rw) text += ", but the group may not read and write it: check the mode (a udev rule)";
    } else if (listed) {
        text += ", whom " + group + " lists, but this process started before that: restart it";
    } else {
        text += ", not in group " + group + ": usermod -aG " + group + " " + user +
                ", then restart vimohost";
    }
    return text + ")";
}

std::string ReadAccessHint(const std::string& path) {
    // The file itself, else the deepest folder above it that can be looked at: the one
    // this user may not enter.
    std::string at = path;
    struct stat st {};
    bool folder = false;
    while (stat(at.c_str(), &st) != 0) {
        const size_t slash = at.find_last_of('/');
        if (slash == std::string::npos) at = ".";
        else at = slash == 0 ? "/" : at.substr(0, slash);
        folder = true;
        if (at == "." || at == "/") {
            if (stat(at.c_str(), &st) != 0) return "";
            break;
        }
    }
    const std::string user = UserName(geteuid());
    bool listed = false;
    const std::string group = GroupName(st.st_gid, user, listed);
    return " (" + std::string(folder ? "the folder " : "") + at + " is " + ModeText(st.st_mode) +
           " " + UserName(st.st_uid) + ":" + group + "; vimohost runs as " + user +
           (InGroup(st.st_gid) ? ", a member of " + group : ", not in group " + group) +
           (folder ? ", and may not enter it" : ", and may not read it") +
           ": run it as " + UserName(st.st_uid) + " or root, or give " + user + " access)";
}

namespace {

// The process that listens on TCP `port` ("process 1234, upsd"), as /proc tells it: the
// socket's inode from /proc/net/tcp and tcp6, then the process holding that socket.
// Empty when it cannot be told (another user's process, without root).
std::string PortHolder(int port) {
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE* f = std::fopen(table, "re");
        if (!f) continue;
        char line[512];
        while (std::fgets(line, sizeof line, f)) {
            char local[128] = "", state[8] = "";
            unsigned long inode = 0;
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            if (std::sscanf(line, " %*s %127s %*s %7s %*s %*s %*s %*s %*s %lu", local, state, &inode) != 3)
                continue;
            const char* colon = std::strrchr(local, ':');
            if (colon && std::strtol(colon + 1, nullptr, 16) == port && std::strcmp(state, "0A") == 0)
                inodes.push_back("socket:[" + std::to_string(inode) + "]");
        }
        std::fclose(f);
    }
    if (inodes.empty()) return "";
    DIR* proc = opendir("/proc");
    if (!proc) return "";
    // Another process first: a listening socket this one inherited from whoever
    // started it is not what holds the port. This one only when none other holds it
    // (two of its own servers given one port).
    const std::string self = std::to_string(getpid());
    std::string found, found_self;
    while (dirent* entry = readdir(proc)) {
        if (!found.empty()) break;
        const char* pid = entry->d_name;
        if (*pid < '1' || *pid > '9') continue;
        const std::string fds = std::string("/proc/") + pid + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;
        while (dirent* fd = readdir(dir)) {
            char target[64];
            const ssize_t n = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (std::find(inodes.begin(), inodes.end(), target) == inodes.end()) continue;
            std::string name;
            if (FILE* comm = std::fopen((std::string("/proc/") + pid + "/comm").c_str(), "re")) {
                char text[64] = "";
                if (std::fgets(text, sizeof text, comm)) name = text;
                std::fclose(comm);
            }
            while (!name.empty() && name.back() == '\n') name.pop_back();
            (self == pid ? found_self : found) =
                std::string("process ") + pid + (name.empty() ? "" : ", " + name);
            break;
        }
        closedir(dir);
    }
    closedir(proc);
    return found.empty() ? found_self : found;
}

}  // namespace

std::string AddressInUseHint(int port, const std::string& setting) {
    const std::string holder = PortHolder(port);
    std::string text = holder.empty() ? " (another program listens there"
                                      : " (" + holder + " listens there";
    if (port == novex::kUpsProtocolPort) text += ", most likely another UPS server such as upsd or a second vimohost";
    return text + "; ss -ltnp 'sport = :" + std::to_string(port) + "' names it; stop it or " +
           "choose another port with " + setting + ")";
}

}  // namespace vimo
