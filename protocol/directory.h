// What the UPS protocol server reads: the UPSes it offers and, for each, one
// consistent set of variables. The server calls these from its own thread only; an
// implementation must never wait for a poll round (hand out published states).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace novex {
namespace protocol {

struct UpsInfo {
    std::string name;         // one word: the name clients ask for
    std::string description;  // free text; "" shows as "Unavailable"
};

struct Variable {
    std::string name;   // "ups.status", "battery.charge"
    std::string value;  // as sent, e.g. "OB LB", "18"
};

// One UPS's variables at one moment. Never changes once handed out.
struct UpsState {
    // No fresh figures (communication lost, or no round yet): readers get DATA-STALE.
    bool stale = true;
    std::vector<Variable> variables;  // ordered by name, each name once
};

class UpsDirectory {
public:
    virtual ~UpsDirectory() = default;
    virtual std::vector<UpsInfo> List() const = 0;
    // The UPS's current state; nullptr when no UPS has that name.
    virtual std::shared_ptr<const UpsState> Read(const std::string& ups) const = 0;
    // Latches forced shutdown on the UPS: from now on its ups.status holds "FSD".
    // False when no UPS has that name.
    virtual bool SetForcedShutdown(const std::string& ups) = 0;
};

}  // namespace protocol
}  // namespace novex
