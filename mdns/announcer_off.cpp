// A build without Avahi's client library: --mdns is refused with one line.
#include "mdns/announcer.h"

namespace vimo {

std::unique_ptr<MdnsAnnouncer> MdnsAnnouncer::Start(std::vector<MdnsService>, std::string& error) {
    error = "this vimohost was built without mDNS (Avahi's client library, Debian "
            "libavahi-client-dev, was not found)";
    return nullptr;
}

bool MdnsBuiltIn() { return false; }

}  // namespace vimo
