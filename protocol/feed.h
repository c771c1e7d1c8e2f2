// The UPS protocol server (--protocol-listen) fed from the board: each device is a UPS
// under its configured name, and every publish on the board republishes its figures,
// or marks them stale while communication is lost or no round has been polled yet.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/thread_annotations.h"
#include "config/device_config.h"
#include "protocol/published_directory.h"
#include "board/snapshot_board.h"
#include "protocol/server.h"
#include "protocol/users.h"

namespace novex {
namespace protocol {

// The figures the protocol's variable map reads, from one snapshot.
novex::protocol::UpsFigures FiguresOf(const novex::monitor::DeviceSnapshot& snapshot);
// What the device object says of the UPS ("manufacturer", "model",
// "battery_charge_low"), checked by ParseConfig.
novex::protocol::UpsIdentity IdentityOf(const vimo::DeviceConfig& config);

class ProtocolFeed : public vimo::BoardSubscriber {
public:
    // Checks the listen address and reads the users file (empty: no users, reading
    // only). Null with a one-line error.
    static std::unique_ptr<ProtocolFeed> Create(const std::string& listen,
                                                const std::string& users_file, std::string& error);
    // STARTTLS with the certificate and key of `certfile` (PEM, not readable by group
    // or others), and whether passwords need TLS first. Before Start. False with a
    // one-line error: the file is missing, open to others, expired, or its key does
    // not match.
    bool SetTls(const std::string& certfile, bool require_tls, std::string& error);
    ~ProtocolFeed();  // Stop()
    ProtocolFeed(const ProtocolFeed&) = delete;
    ProtocolFeed& operator=(const ProtocolFeed&) = delete;

    // Names every device of the board as a UPS, with the identity of the device
    // object of the same name, subscribes to the board and starts listening. Before
    // any line thread starts. False with a one-line error when a name is no single
    // word or the address cannot be used.
    bool Start(vimo::SnapshotBoard& board, const std::vector<vimo::DeviceConfig>& devices,
               std::string& error);
    // A device a reload started, served from now on under its name on `line`; false
    // with a one-line error when the name is no single word. Any time.
    bool AddDevice(const vimo::DeviceConfig& device, const std::string& line, std::string& error);
    // A device a reload removed, or could not start: no longer served, as it is gone
    // from the board, the web face and /metrics too.
    void RemoveDevice(const std::string& name) { directory_.Remove(name); }
    void Stop();
    // "127.0.0.1:PORT", with the port chosen when 0 was asked for.
    std::string Address() const;

private:
    // A device's "forced_shutdown": vimohost sets FSD itself when any condition holds.
    // Columns: on a low battery; runtime at or below N s (-1: not asked); on battery for
    // N s (-1: not asked).
    struct ShutdownRule {
        bool low_battery = false;
        int runtime_below_s = -1;
        int on_battery_for_s = -1;
    };
    struct ShutdownWatch {
        ShutdownRule rule;
        novex::protocol::UpsIdentity identity;
        double on_battery_since = -1.0;  // steady seconds; -1: not on battery
        bool raised = false;
    };
    ProtocolFeed() = default;
    // On the publishing line thread: the device's figures, or stale, in its slot of
    // the directory that the server's clients read.
    void Take(const vimo::BoardUpdate& update) override;
    // Why the device's rule holds after this round ("" when it does not).
    std::string ShutdownReason(const std::string& name, const novex::protocol::UpsFigures& figures);

    novex::protocol::ServerOptions options_;
    novex::protocol::Users users_;
    novex::protocol::PublishedDirectory directory_;
    std::unique_ptr<novex::protocol::Server> server_;
    // Line threads publish at once: the watches are theirs under the lock.
    novex::Mutex watch_mutex_;
    std::map<std::string, ShutdownWatch> watches_ GUARDED_BY(watch_mutex_);
};

}  // namespace protocol
}  // namespace novex
