// What the transports (tcp_server.cpp, rtu_server.cpp) share: logging, the ready line
// and sending an answer once it is due. Serve (server.cpp) picks the transport.
#pragma once

#include <modbus.h>

#include <memory>
#include <string>

#include "sim/exchange.h"
#include "sim/options.h"
#include "sim/stop_conditions.h"

namespace novexsim {

struct ModbusDeleter {
    void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};
using ModbusPtr = std::unique_ptr<modbus_t, ModbusDeleter>;

void Log(const std::string& line);
// "what: the text of errno".
std::string Errno(const std::string& what);
// Prints "ready LINE" on standard output, the one line a starter waits for.
void Ready(const std::string& line);

// Sends a reply once due. Returns false when the connection should be closed.
bool Deliver(StopConditions& stop, const Options& options, const Reply& reply, int fd,
             bool socket);

// Each serves until `stop` says so; returns the exit status.
int ServeTcp(const Options& options, StopConditions& stop, Responder& responder);
int ServeRtu(const Options& options, StopConditions& stop, Responder& responder);

}  // namespace novexsim
