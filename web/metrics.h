// /metrics in the Prometheus text format (version 0.0.4): every measure as an ups_
// gauge named with its base unit, every alarm's state, communication, and vimohost's
// own counters.
#pragma once

#include <string>

#include "web/state_source.h"

namespace novex {
namespace web {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Appends the exposition of `state` to `out`.
void RenderMetrics(const HostState& state, std::string& out);

// `text` escaped for a label value (backslash, double quote, line feed).
std::string EscapeLabel(const std::string& text);

}  // namespace web
}  // namespace novex
