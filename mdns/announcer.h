// vimohost's services on the local network: mDNS/DNS-SD records made by the Avahi daemon
// for the UPS protocol server (_nut._tcp, which clients that look for UPS servers
// browse) and the status page (_http._tcp, or _https._tcp with TLS), so that they find
// this machine without being told its address. Off unless asked for (--mdns, "mdns").
//
// Through Avahi's client library, on a thread of its own (Avahi's threaded poll): the
// daemon publishes the records, answers queries and says goodbye when they are withdrawn.
// The services are registered once the daemon runs, again whenever it restarts, and
// renamed ("NAME #2") when another host already uses the name on the network. Without a
// daemon (or without the system bus) one warning line says so and vimohost runs on,
// trying again every few seconds. A build without Avahi's library (the mipsel one)
// refuses --mdns with one line.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vimo {

struct MdnsService {
    std::string type;              // "_nut._tcp", "_http._tcp", "_https._tcp"
    int port = 0;                  // the listener's bound port
    std::vector<std::string> txt;  // TXT record strings, e.g. "path=/"
};

class MdnsAnnouncer {
public:
    // Starts announcing `services` under the instance name "vimohost on HOST" (HOST the
    // daemon's host name). Null with a one-line error only in a build without Avahi or
    // when no thread can be started; a missing daemon is said and waited for.
    static std::unique_ptr<MdnsAnnouncer> Start(std::vector<MdnsService> services,
                                               std::string& error);
    // Withdraws the services (the daemon sends their goodbyes) and ends the thread.
    virtual ~MdnsAnnouncer() = default;

    // The instance name the services are registered under now; "" while they are not.
    virtual std::string Registered() const = 0;
};

// Whether this build can announce (Avahi's client library was found).
bool MdnsBuiltIn();

}  // namespace vimo
