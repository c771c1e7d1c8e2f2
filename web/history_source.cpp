#include "web/history_source.h"

#include <algorithm>
#include <limits>
#include <map>

#include "monitor/alarms.h"

namespace novex {
namespace web {

std::unique_ptr<WebHistory> WebHistory::Open(const std::string& path, std::string& error) {
    std::unique_ptr<vimo::HistoryReader> reader = vimo::HistoryReader::Open(path, error);
    if (!reader) return nullptr;
    return std::unique_ptr<WebHistory>(new WebHistory(std::move(reader)));
}

bool WebHistory::Readings(const ReadingsQuery& query,
                          std::vector<ReadingSeries>& out, std::string& error) const {
    std::vector<vimo::ReadingBucket> buckets;
    const int64_t points = query.points > 0 ? static_cast<int64_t>(query.points) : 1;
    const int64_t step = vimo::StepForPoints(query.since_utc, query.until_utc, points);
    if (!reader_->Downsample(query.data_id, query.since_utc, query.until_utc, step,
                             query.since_utc, query.measures, buckets, error,
                             static_cast<size_t>(points)))
        return false;
    out.assign(query.measures.size(), {});
    for (size_t f = 0; f < query.measures.size(); ++f) {
        out[f].measure = query.measures[f];
        for (const vimo::ReadingBucket& b : buckets) {
            const vimo::FieldSummary& s = b.fields[f];
            if (s.count == 0) continue;
            ReadingBucket bucket;
            bucket.start_utc = b.start;
            bucket.end_utc = b.start + step;
            bucket.min = s.min;
            bucket.mean = s.mean;
            bucket.max = s.max;
            bucket.count = static_cast<uint32_t>(s.count);
            bucket.minutes = b.minutes;
            out[f].buckets.push_back(bucket);
        }
    }
    return true;
}

bool WebHistory::Events(const EventsQuery& query, EventList& out,
                        std::string& error) const {
    out = {};
    // The raises still active when the span begins, then the span's own events: both
    // bounded by the index, whatever lies before or after.
    std::vector<vimo::StoredEvent> open_at_start;
    if (!reader_->ActiveAt(query.data_id, query.since_utc, open_at_start, error)) return false;
    vimo::EventQuery within;
    within.data_id = query.data_id;
    within.since = query.since_utc;
    within.until = query.until_utc;
    within.limit = query.max_events + 1;  // one more tells that there are more
    if (within.limit == 0) within.limit = query.max_events;  // no cap asked
    std::vector<vimo::StoredEvent> events;
    if (!reader_->Events(within, events, error)) return false;
    out.truncated = events.size() > query.max_events;
    if (out.truncated) events.pop_back();
    std::vector<AlarmEvent>& spans = out.events;
    std::map<std::string, size_t> open;  // alarm id -> its raise in `spans`
    for (const std::vector<vimo::StoredEvent>* part : {&open_at_start, &events})
        for (const vimo::StoredEvent& e : *part) {
            const size_t index = novex::monitor::FindAlarm(e.alarm);
            if (index >= novex::monitor::Alarms().size()) continue;  // not of the alarm table
            if (e.raised) {
                if (open.count(e.alarm)) continue;  // raised already
                AlarmEvent span;
                span.alarm = static_cast<novex::monitor::AlarmIndex>(index);
                span.raised_utc = e.utc;
                open[e.alarm] = spans.size();
                spans.push_back(span);
            } else if (open.count(e.alarm)) {
                spans[open[e.alarm]].cleared_utc = e.utc;
                open.erase(e.alarm);
            }
        }
    // Every span found meets [since, until): it was active at its start or raised within.
    if (query.active_only)
        spans.erase(std::remove_if(spans.begin(), spans.end(),
                                   [](const AlarmEvent& s) { return s.cleared_utc != 0; }),
                    spans.end());
    if (spans.size() > query.max_events) {
        spans.resize(query.max_events);
        out.truncated = true;
    }
    return true;
}

}  // namespace web
}  // namespace novex
