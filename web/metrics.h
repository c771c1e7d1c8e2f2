// /metrics in the Prometheus text format (version 0.0.4): every measure as an ups_
// gauge named with its base unit, the alarms of the unit and of its fitted modules,
// communication, and vimohost's own counters.
//
// Metrics are families (name, type and help stated once, metrics.cpp's kFamilies),
// and one serializer writes them. A device's series are rendered once per round
// (RenderDeviceMetrics, on the line thread that published it) and, once a scraper has
// asked for gzip, compressed then too, each family's series on their own; a scrape
// only joins the pieces, so its cost does not grow with the series' number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "web/state_source.h"

namespace novex {
namespace web {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// One device's series, family after family in /metrics order.
struct DeviceMetrics {
    std::string text;
    std::vector<size_t> text_ends;  // per device family: where its series end in `text`
    // With compression: each family's series as raw deflate data of its own (no
    // reference outside it, ending on a byte boundary, not final), so that pieces of
    // any devices can be joined into one stream; and the CRC-32 of each family's text.
    std::string deflated;
    std::vector<size_t> deflated_ends;
    std::vector<uint32_t> crcs;
    bool compressed() const { return !crcs.empty(); }
};

// Renders the device's series (and compresses them when `compress`). A family whose
// series read as in `previous` (the device's last rendering, if any) keeps its
// compressed piece: alarms and presence rarely change from round to round.
std::shared_ptr<const DeviceMetrics> RenderDeviceMetrics(const DeviceState& device, bool compress,
                                                         const DeviceMetrics* previous = nullptr);

// Appends the exposition of `state` to `out`: as text, or as one gzip member. A
// device without its rendering at hand is rendered here.
void RenderMetrics(const HostState& state, std::string& out);
void RenderMetricsGzip(const HostState& state, std::string& out);

// Whether an Accept-Encoding header takes gzip ("gzip", "x-gzip", not at q=0).
bool AcceptsGzip(const std::string& accept_encoding);

// The families /metrics writes, in its order, for the reference (docs_test): one row
// stands for the measures' families.
struct MetricFamilyRow {
    const char* name;
    const char* type;
    const char* help;
    bool per_device;  // each device has its series (label `device`); else vimohost's own
};
std::vector<MetricFamilyRow> MetricFamilies();

// `text` escaped for a label value (backslash, double quote, line feed).
std::string EscapeLabel(const std::string& text);

}  // namespace web
}  // namespace novex
