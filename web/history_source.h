// The web server's view of the history (web/state_source.h) over a read-only
// HistoryReader of its own: readings as downsampled series, alarm events as spans from
// raise to clear. Safe from the server's threads; never touches the writer's
// connection, so a request cannot delay storing a round.
#pragma once

#include <memory>
#include <string>

#include "history/reader.h"
#include "web/state_source.h"

namespace novex {
namespace web {

class WebHistory : public HistoryReader {
public:
    // Null with a one-line error when the file cannot be read.
    static std::unique_ptr<WebHistory> Open(const std::string& path, std::string& error);

    bool Readings(const ReadingsQuery& query,
                  std::vector<ReadingSeries>& out, std::string& error) const override;
    bool Events(const EventsQuery& query, EventList& out,
                std::string& error) const override;

private:
    explicit WebHistory(std::unique_ptr<vimo::HistoryReader> reader) : reader_(std::move(reader)) {}
    std::unique_ptr<vimo::HistoryReader> reader_;  // takes its calls in turn
};

}  // namespace web
}  // namespace novex
