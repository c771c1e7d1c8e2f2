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

// Whether a program a test starts can start another of the project's programs in
// turn (vimohost --simulate starts novexups-sim): not under qemu-user, which cannot
// exec a foreign binary without binfmt_misc.
inline bool ProgramsCanStartPrograms() { return std::getenv("NOVEX_TEST_EMULATOR") == nullptr; }

#define NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS()                                   \
    do {                                                                              \
        if (!novex_test::ProgramsCanStartPrograms())                                  \
            GTEST_SKIP() << "vimohost --simulate cannot start the simulator under an " \
                            "emulator";                                               \
    } while (0)

}  // namespace novex_test
