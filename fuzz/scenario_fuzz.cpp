// The simulator's scenario files, parsed from any text; an accepted scenario then
// serves three rounds of every register the UPS has. Properties: no exception
// escapes; a refusal is one line naming the file.
#include <string>

#include "fuzz/fuzz_input.h"
#include "sim/modbus_pdu.h"
#include "sim/register_map.h"

using novexfuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    novexsim::Scenario scenario;
    std::string error;
    try {
        if (!novexsim::ParseScenario(text, "fuzz.json", scenario, error)) {
            if (error.compare(0, 11, "fuzz.json: ") != 0) Fail("a refusal that names no file");
            if (error.find_first_of("\r\n") != std::string::npos) Fail("a refusal of several lines");
            return 0;
        }
        novexsim::UpsState state(scenario);
        // One read of the coils, which begins a round, and one of the registers the
        // per-round changes touch most, three times.
        const uint8_t coils[] = {novexsim::kReadCoils, 0x00, 0x01, 0x00, 0x1F};
        const uint8_t registers[] = {novexsim::kReadInputRegisters, 0x00, 0x01, 0x00, 0x28};
        for (int round = 0; round < 3; ++round) {
            novexsim::AnswerRequest(state, coils, sizeof coils);
            novexsim::AnswerRequest(state, registers, sizeof registers);
        }
    } catch (...) {
        Fail("an exception escaped the scenario");
    }
    return 0;
}
