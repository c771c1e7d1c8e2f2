// Fault injection: which requests get no answer, a broken answer, an exception, a
// late answer or a dropped connection. Requests are counted from 1 over everything
// served since start, across connections.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace novexsim {

enum class Fault { kNone, kNoAnswer, kDrop, kException, kBadChecksum, kCount };

struct FaultConfig {
    // Every Nth request; 0 = never.
    int noanswer_every = 0;
    int drop_every = 0;
    int exception_every = 0;
    int crc_every = 0;
    int delay_ms = 0;
    int delay_every = 0;
    // Each request independently, with this probability, gets one fault kind drawn
    // uniformly from those the transport has (a delay counts as one kind).
    double rate_percent = 0;
    uint64_t seed = 1;
};

// A random delay when no --fault-delay-ms was given.
constexpr int kDefaultRandomDelayMs = 50;

struct FaultDecision {
    Fault fault = Fault::kNone;
    int delay_ms = 0;
};

class FaultInjector {
public:
    // `can_drop`: the transport has a connection to close (TCP); elsewhere a drop
    // becomes a missing answer, the nearest thing a serial line can do.
    FaultInjector(const FaultConfig& config, bool can_drop);

    FaultDecision Next();

    uint64_t requests() const { return requests_; }
    // "requests 40, no answer 2, dropped 0, exception 4, bad checksum 0, delayed 1"
    std::string Summary() const;

private:
    FaultConfig config_;
    bool can_drop_;
    std::mt19937_64 random_;
    uint64_t requests_ = 0;
    uint64_t counts_[static_cast<int>(Fault::kCount)] = {};
    uint64_t delayed_ = 0;
};

}  // namespace novexsim
