#include "web/history_source.h"

#include <limits>
#include <map>

#include "monitor/alarms.h"

namespace vimo {

std::unique_ptr<WebHistory> WebHistory::Open(const std::string& path, std::string& error) {
    std::unique_ptr<vimo::HistoryReader> reader = vimo::HistoryReader::Open(path, error);
    if (!reader) return nullptr;
    return std::unique_ptr<WebHistory>(new WebHistory(std::move(reader)));
}

bool WebHistory::Readings(const novex::web::ReadingsQuery& query,
                          std::vector<novex::web::ReadingSeries>& out, std::string& error) const {
    std::vector<ReadingBucket> buckets;
    const int64_t points = query.points > 0 ? static_cast<int64_t>(query.points) : 1;
    const int64_t step = StepForPoints(query.since_utc, query.until_utc, points);
    if (!reader_->Downsample(query.data_id, query.since_utc, query.until_utc, step,
                             query.since_utc, query.measures, buckets, error))
        return false;
    out.assign(query.measures.size(), {});
    for (size_t f = 0; f < query.measures.size(); ++f) {
        out[f].measure = query.measures[f];
        for (const ReadingBucket& b : buckets) {
            const FieldSummary& s = b.fields[f];
            if (s.count == 0) continue;
            novex::web::ReadingBucket bucket;
            bucket.start_utc = b.start;
            bucket.end_utc = b.start + step;
            bucket.min = s.min;
            bucket.mean = s.mean;
            bucket.max = s.max;
            bucket.count = static_cast<uint32_t>(s.count);
            out[f].buckets.push_back(bucket);
        }
    }
    return true;
}

bool WebHistory::Events(const novex::web::EventsQuery& query,
                        std::vector<novex::web::AlarmEvent>& out, std::string& error) const {
    // Every event before the span's end: a raise long before it may be cleared within.
    EventQuery all;
    all.data_id = query.data_id;
    all.until = query.until_utc;
    std::vector<StoredEvent> events;
    if (!reader_->Events(all, events, error)) return false;
    out.clear();
    std::map<std::string, size_t> open;  // alarm id -> its raise in `out`
    for (const StoredEvent& e : events) {
        const size_t index = novex::monitor::FindAlarm(e.alarm);
        if (index >= novex::monitor::Alarms().size()) continue;  // not of the alarm table
        if (e.raised) {
            if (open.count(e.alarm)) continue;  // raised already
            novex::web::AlarmEvent span;
            span.alarm = static_cast<novex::monitor::AlarmIndex>(index);
            span.raised_utc = e.utc;
            open[e.alarm] = out.size();
            out.push_back(span);
        } else if (open.count(e.alarm)) {
            out[open[e.alarm]].cleared_utc = e.utc;
            open.erase(e.alarm);
        }
    }
    // Spans that meet [since, until), oldest raise first (they were found in time order).
    std::vector<novex::web::AlarmEvent> kept;
    for (const novex::web::AlarmEvent& span : out) {
        const bool active = span.cleared_utc == 0;
        if (query.active_only && !active) continue;
        if (!active && span.cleared_utc < query.since_utc) continue;
        kept.push_back(span);
    }
    out = std::move(kept);
    return true;
}

}  // namespace vimo
