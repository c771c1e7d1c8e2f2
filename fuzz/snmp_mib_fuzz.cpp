// Rounds of any snapshot through the UPS MIB mapping: any measures present or not,
// with any value (NaN, infinities, huge), any alarm set, stale or lost communication.
// Properties: every served object lies within its MIB range (a text within its
// length), the alarm table has upsAlarmsPresent rows with ids and well-known alarm
// OIDs, and no round adds and removes the same row.
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "fuzz/fuzz_input.h"
#include "monitor/measures.h"
#include "snmp/ups_mib.h"

namespace {

using novexfuzz::Fail;
namespace monitor = novex::monitor;
namespace snmp = vimo::snmp;

// The range of every object the table names, by full OID.
const std::map<snmp::Oid, snmp::ObjectDoc>& Ranges() {
    static const std::map<snmp::Oid, snmp::ObjectDoc> ranges = [] {
        std::map<snmp::Oid, snmp::ObjectDoc> out;
        for (const snmp::ObjectDoc& doc : snmp::DocumentedObjects()) {
            snmp::Oid oid = snmp::kUpsObjects;
            size_t start = 0;
            while (start < doc.oid.size()) {
                size_t end = doc.oid.find('.', start);
                if (end == std::string::npos) end = doc.oid.size();
                oid.push_back(static_cast<uint32_t>(std::stoul(doc.oid.substr(start, end - start))));
                start = end + 1;
            }
            out[oid] = doc;
        }
        return out;
    }();
    return ranges;
}

double AnyDouble(novexfuzz::Input& in) {
    const std::string bytes = in.Bytes(8) + std::string(8, '\0');
    double value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

void Check(const snmp::View& view, const snmp::DeviceTrack& track) {
    size_t rows = 0;
    for (const auto& [oid, value] : view) {
        const auto range = Ranges().find(oid);
        if (range != Ranges().end()) {
            if (value.type != range->second.type) Fail("an object of another type");
            if (value.type == snmp::Type::kText
                    ? value.text.size() > static_cast<size_t>(range->second.max)
                    : value.number < range->second.min || value.number > range->second.max)
                Fail("an object out of its range");
            continue;
        }
        // Otherwise a row of the alarm table.
        const snmp::Oid column(oid.begin(), oid.end() - 1);
        if (column == snmp::kAlarmIdColumn) {
            ++rows;
            if (value.number < 1 || value.number > INT32_MAX) Fail("upsAlarmId out of range");
        } else if (column == snmp::kAlarmDescrColumn) {
            const snmp::Oid& d = value.oid;
            if (d.size() != snmp::kWellKnownAlarms.size() + 1 ||
                !std::equal(snmp::kWellKnownAlarms.begin(), snmp::kWellKnownAlarms.end(), d.begin()) ||
                std::string(snmp::WellKnownName(static_cast<int>(d.back()))).empty())
                Fail("upsAlarmDescr is no well-known alarm");
        } else if (value.type != snmp::Type::kTimeTicks) {
            Fail("an object the table does not name");
        }
    }
    if (rows != track.alarms.size()) Fail("alarm rows differ from upsAlarmsPresent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    novexfuzz::Input in(data, size);
    const size_t measures = monitor::Measures().size();
    snmp::DeviceTrack track;
    snmp::UpsIdentity identity;
    identity.name = in.Until('\n');
    identity.manufacturer = in.Until('\n');
    identity.battery_charge_low = in.Byte() % 101;
    double now = 0;
    for (int round = 0; round < 8 && !in.empty(); ++round) {
        monitor::DeviceSnapshot s;
        const uint8_t flags = in.Byte();
        s.stale = flags & 1;
        s.communication = flags & 2 ? monitor::Communication::kLost : monitor::Communication::kOk;
        s.rounds_completed = flags & 4 ? 0 : 1;
        if (!(flags & 8)) s.measures.resize(measures);
        for (int n = in.Byte() % 32; n > 0 && !s.measures.empty(); --n) {
            const size_t at = in.Word() % measures;
            s.measures[at] = {AnyDouble(in), true};
        }
        for (int n = in.Byte() % 16; n > 0; --n)
            s.active_alarms.push_back(static_cast<monitor::AlarmIndex>(in.Word() % (monitor::kAlarmCount + 4)));
        now += in.Byte();
        const snmp::RoundNews news = snmp::TakeRound(track, s, identity, now, static_cast<uint32_t>(now * 100));
        for (const snmp::AlarmRow& added : news.added)
            for (const snmp::AlarmRow& removed : news.removed)
                if (added.well_known == removed.well_known) Fail("a row added and removed at once");
        Check(snmp::MapUpsMib(s, identity, track, now), track);
    }
    return 0;
}
