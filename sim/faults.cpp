#include "sim/faults.h"

namespace novexsim {
namespace {

bool Due(uint64_t request, int every) {
    return every > 0 && request % static_cast<uint64_t>(every) == 0;
}

// Summary wording. Columns: fault, text.
struct FaultText {
    Fault fault;
    const char* text;
};
const FaultText kFaultTexts[] = {
    {Fault::kNoAnswer, "no answer"},
    {Fault::kDrop, "dropped"},
    {Fault::kException, "exception"},
    {Fault::kBadChecksum, "bad checksum"},
};

}  // namespace

FaultInjector::FaultInjector(const FaultConfig& config, bool can_drop)
    : config_(config), can_drop_(can_drop), random_(config.seed) {}

FaultDecision FaultInjector::Next() {
    const uint64_t n = ++requests_;
    FaultDecision d;
    // When several counters fall on one request, the first of these wins; a delay
    // comes on top of whatever answer is sent.
    const struct {
        Fault fault;
        int every;
    } periodic[] = {
        {Fault::kNoAnswer, config_.noanswer_every},
        {Fault::kDrop, config_.drop_every},
        {Fault::kException, config_.exception_every},
        {Fault::kBadChecksum, config_.crc_every},
    };
    for (const auto& p : periodic) {
        if (d.fault == Fault::kNone && Due(n, p.every)) d.fault = p.fault;
    }
    if (config_.delay_ms > 0 && Due(n, config_.delay_every)) d.delay_ms = config_.delay_ms;

    if (config_.rate_percent > 0) {
        std::uniform_real_distribution<double> chance(0.0, 100.0);
        if (chance(random_) < config_.rate_percent) {
            // Kinds in draw order; the last is only drawn where connections exist.
            const Fault kinds[] = {Fault::kNoAnswer, Fault::kBadChecksum, Fault::kException,
                                   Fault::kNone /* delay */, Fault::kDrop};
            std::uniform_int_distribution<int> pick(0, can_drop_ ? 4 : 3);
            const Fault f = kinds[pick(random_)];
            if (f == Fault::kNone) {
                d.delay_ms = config_.delay_ms > 0 ? config_.delay_ms : kDefaultRandomDelayMs;
            } else if (d.fault == Fault::kNone) {
                d.fault = f;
            }
        }
    }
    if (d.fault == Fault::kDrop && !can_drop_) d.fault = Fault::kNoAnswer;
    ++counts_[static_cast<int>(d.fault)];
    if (d.delay_ms > 0) ++delayed_;
    return d;
}

std::string FaultInjector::Summary() const {
    std::string out = "requests " + std::to_string(requests_);
    for (const FaultText& t : kFaultTexts)
        out += std::string(", ") + t.text + " " +
               std::to_string(counts_[static_cast<int>(t.fault)]);
    return out + ", delayed " + std::to_string(delayed_);
}

}  // namespace novexsim
