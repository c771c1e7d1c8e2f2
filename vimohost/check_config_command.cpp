// `vimohost check-config [FILE]`: the checks a start and a reload make of the
// configuration file, without polling anything, for scripts and package upgrades.
#include <cstdio>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "protocol/server.h"
#include "vimohost/commands.h"
#include "web/http_server.h"

namespace vimo {

int RunCheckConfig(const CheckConfigOptions& options) {
    const std::string path = options.config_file.empty() ? kServiceConfig : options.config_file;
    std::vector<DeviceConfig> devices;
    ProgramConfig program;
    std::string error;
    bool ok = LoadDeviceConfigFile(path, devices, program, error);
    // The listening addresses are read when the servers start; a wrong one would stop
    // the service then.
    if (ok && !program.protocol_listen.empty()) {
        novex::protocol::ServerOptions server;
        ok = novex::protocol::ParseListen(program.protocol_listen, server, error);
        if (!ok) error = path + ": \"protocol_listen\": " + error;
    }
    if (ok && !program.listen.empty()) {
        std::string address;
        int port = 0;
        ok = novex::web::ParseListen(program.listen, address, port, error);
        if (!ok) error = path + ": " + error;
    }
    if (!ok) {
        std::fprintf(stderr, "vimohost: %s\n", error.c_str());
        return kExitUsage;
    }
    std::printf("%s: %zu device%s, no error found\n", path.c_str(), devices.size(),
                devices.size() == 1 ? "" : "s");
    return kExitOk;
}

}  // namespace vimo
