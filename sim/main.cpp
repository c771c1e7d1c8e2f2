// novexups-sim: a simulated modular UPS answering Modbus like the real one, for
// vimohost, the tests and demos without hardware. Its options are in options.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "sim/options.h"
#include "sim/register_map.h"
#include "sim/server.h"

namespace {

constexpr int kUsageError = 2;

int Fail(const std::string& message) {
    std::fprintf(stderr, "novexups-sim: %s\n", message.c_str());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace novexsim;
    novex::KeepStandardDescriptors();
    Options options;
    const novex::Parsed parsed =
        ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.exit_code >= 0) {
        std::fputs(parsed.text.c_str(), parsed.exit_code == 0 ? stdout : stderr);
        return parsed.exit_code;
    }
    std::string error;
    Scenario scenario;
    if (!BuiltinScenario(options.scenario, scenario) &&
        !LoadScenarioFile(options.scenario, scenario, error))
        return Fail("scenario " + error);
    UpsState state(std::move(scenario));
    return Serve(options, state);
}
