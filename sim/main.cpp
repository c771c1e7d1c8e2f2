// novexups-sim: a simulated modular UPS answering Modbus like the real one, for
// vimohost, the tests and demos without hardware. Usage in options.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "register_map.h"
#include "server.h"

namespace {

constexpr int kUsageError = 2;

int Fail(const std::string& message) {
    std::fprintf(stderr, "novexups-sim: %s\n", message.c_str());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace novexsim;
    const std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!ParseOptions(args, options, error)) return Fail(error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Scenario scenario;
    if (!BuiltinScenario(options.scenario, scenario) &&
        !LoadScenarioFile(options.scenario, scenario, error))
        return Fail("scenario " + error);
    UpsState state(std::move(scenario));
    return Serve(options, state);
}
