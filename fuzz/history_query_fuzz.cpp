// The forms `vimohost history` takes: --since/--until (a point in time), --fields (measure
// ids), --step and --keep (durations), --max-size (a size). The input is four lines,
// one per parser. Properties: no exception escapes; a duration is positive and reads
// back from its own text; a point in time given as a duration lies that far back, and
// every point accepted within the range the API shares (1970..9999); the
// fields resolved are measures and come without repeats; a refusal is one line.
#include <set>
#include <string>
#include <vector>

#include "core/time_text.h"
#include "fuzz/fuzz_input.h"
#include "history/times.h"
#include "monitor/measures.h"
#include "history/readings_codec.h"

using novexfuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    novexfuzz::Input in(data, size);
    const std::string point = in.Until('\n'), fields = in.Until('\n'),
                      duration = in.Until('\n'), bytes = in.Rest();
    constexpr int64_t kNow = 1796725800;  // 2026-12-08T09:50:00Z
    try {
        int64_t epoch = 0, seconds = 0, again = 0;
        if (vimo::ParseDuration(duration, seconds)) {
            if (seconds <= 0) Fail("a duration that is not positive");
            if (!vimo::ParseDuration(vimo::DurationText(seconds), again) || again != seconds)
                Fail("a duration that does not read back from its text");
        }
        if (vimo::ParsePointInTime(point, kNow, epoch)) {
            if (vimo::ParseDuration(point, seconds) && epoch != kNow - seconds)
                Fail("a point given as a duration that is not that far back");
            if (!novex::TimeInRange(epoch)) Fail("a point outside 1970..9999");
        }
        int64_t size_bytes = 0;
        if (vimo::ParseSize(bytes, size_bytes) && size_bytes < 0) Fail("a negative size");
        std::vector<size_t> resolved;
        std::string error;
        if (vimo::ResolveFields(fields, resolved, error)) {
            const std::set<size_t> unique(resolved.begin(), resolved.end());
            if (unique.size() != resolved.size()) Fail("a field resolved twice");
            for (size_t f : resolved)
                if (f >= novex::monitor::Measures().size()) Fail("a field that is no measure");
        } else if (error.empty() || error.find_first_of("\r\n") != std::string::npos) {
            Fail("a refusal that is not one line");
        }
    } catch (...) {
        Fail("an exception escaped a history query parser");
    }
    return 0;
}
