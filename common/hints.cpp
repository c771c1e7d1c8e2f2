#include "common/hints.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/address.h"

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

std::string AddressInUseHint(int port, const std::string& setting) {
    std::string text = " (another program listens there";
    if (port == novex::kUpsProtocolPort) text += ", most likely another UPS server such as upsd or a second vimohost";
    return text + "; ss -ltnp 'sport = :" + std::to_string(port) + "' names it; stop it or " +
           "choose another port with " + setting + ")";
}

}  // namespace vimo
