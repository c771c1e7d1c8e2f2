// The published state of one device: what readers (the summary line, --status-out,
// the servers) see of it. The line thread builds a new snapshot after every completed,
// loaded or failed round and publishes it as std::shared_ptr<const DeviceSnapshot>;
// once published it never changes, so a reader needs no lock that polling takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "monitor/alarms.h"
#include "monitor/battery_low.h"
#include "monitor/energy.h"
#include "monitor/measures.h"

namespace novex {
namespace monitor {

// kDefaultChargeLow: monitor/battery_low.h.

enum class Communication : unsigned char { kOk, kLost };
const char* CommunicationName(Communication communication);  // "ok", "lost"

struct DeviceSnapshot {
    std::string device_name;
    uint32_t data_id = 0;
    std::string line;  // the line's description, e.g. "/dev/ttyUSB0 9600 8N1 slave 1"
    // How long without a completed round (the last failed) counts as lost, in seconds
    // (CommLossWindow in board/device_monitor.h); 0 when not told.
    double loss_window_s = 0.0;

    // The last round's record; empty before any. Its status document (command 801) is
    // made from it when asked (session/document_renderer.h), not kept.
    std::vector<unsigned char> record;
    std::vector<MeasureValue> measures; // aligned with Measures(); empty before any round
    std::vector<AlarmIndex> active_alarms;  // into Alarms(), in list order; holds
                                            // kCommunicationLost while it is raised

    Communication communication = Communication::kOk;
    bool stale = false;  // the figures are those of the last completed round, now old

    uint64_t rounds_completed = 0;
    uint64_t rounds_failed = 0;
    int64_t last_round_utc = 0;    // epoch seconds of the last completed round; 0: none
    std::string last_round_local;  // the same as local "YYYY-MM-DD HH:MM:SS"; "": none
    std::string last_error;        // one line; "" when the last round completed

    // The last polled round (completed or failed), from the first request to the end.
    double last_round_seconds = 0.0;

    // Output active energy counted so far (monitor/energy.h); kept while the figures
    // are stale, restored from the history at start.
    OutputEnergy energy;
};

// The figures and alarms of one record.
struct DecodedRound {
    std::vector<MeasureValue> measures;  // aligned with Measures()
    std::vector<AlarmIndex> alarms;      // into Alarms(), in list order
};

// Decodes a record as the device delivers it (SendSP, or a stored round). A record
// of any other size than 853 bytes is refused with a one-line error.
bool DecodeRecord(const unsigned char* bytes, size_t size, DecodedRound& out,
                  std::string& error);

// "YYYY-MM-DD HH:MM:SS" of `utc` in the process's local time zone.
std::string LocalTimeText(std::time_t utc);

// Whether alarm `alarm` is in the snapshot's active list.
bool IsActive(const DeviceSnapshot& snapshot, AlarmIndex alarm);

// The round summary read from the measures:
// "state on_mains | in 220.3/220.8/221.0 V | out 220.0/220.1/220.3 V | load 35/34/36 % |
//  battery 100 % 202.5/202.5 V | backup 45 min | alarms: none"
// begun by "stale | " while the figures are old (communication_lost then is among the
// alarms), and
// "no round yet" before the first.
std::string SummaryLine(const DeviceSnapshot& snapshot);

}  // namespace monitor
}  // namespace novex
