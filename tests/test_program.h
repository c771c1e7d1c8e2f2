// The command line that starts one of the project's programs from a test. In the
// cross build the tests themselves run under qemu, which cannot exec a foreign
// binary on its own; CTest then names the emulator in NOVEX_TEST_EMULATOR (its
// words separated by spaces) and every program is started through it.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace novex_test {

inline std::vector<std::string> ProgramCommand(const std::string& program) {
    std::vector<std::string> argv;
    if (const char* emulator = std::getenv("NOVEX_TEST_EMULATOR")) {
        std::istringstream words(emulator);
        for (std::string word; words >> word;) argv.push_back(word);
    }
    argv.push_back(program);
    return argv;
}

}  // namespace novex_test
