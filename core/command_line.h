// What both programs' command lines share: flags whose values we check ourselves (so an
// error names the flag and what it takes, in our words), one-line errors with exit 2,
// a help text that starts with the usage, and --version.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace novex {

constexpr int kExitUsage = 2;

// How a program words a bad value: FLAG, `must_be`, what it takes, `not_`, the value in
// `quote`s. vimohost: --slave must be a whole number from 1 to 247, not "0".
struct Wording {
    const char* must_be;
    const char* not_;
    char quote;
};
constexpr Wording kVimohostWording = {" must be ", ", not ", '"'};
constexpr Wording kSimulatorWording = {": expected ", ", got ", '\''};

// Thrown by a flag's check: the failure message words it as the program does.
class BadValue : public CLI::ValidationError {
public:
    BadValue(std::string flag, std::string expected, std::string value)
        : CLI::ValidationError(flag + " must be " + expected),
          flag_(std::move(flag)),
          expected_(std::move(expected)),
          value_(std::move(value)) {}
    std::string Worded(const Wording& w) const {
        return flag_ + w.must_be + expected_ + w.not_ + w.quote + value_ + w.quote;
    }

private:
    std::string flag_;
    std::string expected_;
    std::string value_;
};

// Takes a flag's text: returns "" when the value is taken, otherwise what it should have
// been ("a whole number from 1 to 247"), which the error line quotes with the value.
using Take = std::function<std::string(const std::string& value)>;

// A flag with one value, shown in the help as "FLAG NAME" with `help`. Given twice, the
// last one counts.
CLI::Option* AddValue(CLI::App& app, const std::string& flag, const std::string& value_name,
                      const std::string& help, Take take);

// Whole decimal numbers only: no sign where `min` is not negative, no spaces, no
// trailing text, within [min, max].
bool ParseWhole(const std::string& text, int64_t min, int64_t max, int64_t& out);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, before anything
// else opens a file: otherwise the next socket or serial port would take the number,
// and whatever is printed to standard output would go onto the wire.
void KeepStandardDescriptors();

// A text read from a file as an error line quotes it: in double quotes, with control
// characters as \xNN, so that the error stays one line and shows what is there.
std::string QuoteText(const std::string& text);
// The same without the quotes, for a message that holds text from a file.
std::string EscapeText(const std::string& text);

// AddValue for a whole number in [min, max] stored in `target`.
template <typename T>
CLI::Option* AddWhole(CLI::App& app, const std::string& flag, const std::string& help, T& target,
                      int64_t min, int64_t max, const std::string& expected = "") {
    const std::string wanted = expected.empty() ? "a whole number from " + std::to_string(min) +
                                                      " to " + std::to_string(max)
                                                : expected;
    return AddValue(app, flag, "N", help, [&target, min, max, wanted](const std::string& v) {
        int64_t n = 0;
        if (!ParseWhole(v, min, max, n)) return wanted;
        target = static_cast<T>(n);
        return std::string();
    });
}

// AddValue for a non-empty text.
CLI::Option* AddText(CLI::App& app, const std::string& flag, const std::string& value_name,
                     const std::string& help, std::string& target);

// Sets up a program or a subcommand: the help text starts with "usage: " and `usage`
// (lines after the first indented by the caller), then `about`, the options and `footer`.
void Describe(CLI::App& app, const std::string& usage, const std::string& about,
              const std::string& footer = "");

// "PROGRAM 1.0.0 (git abc1234)" for --version; set on the top app.
void AddVersion(CLI::App& app);
std::string VersionLine(const std::string& program);

// What parsing came to: go on (exit_code -1), or exit with exit_code after printing
// `text`: the help or the version on standard output (exit 0), or one line on standard
// error (kExitUsage): "PROGRAM [SUBCOMMAND]: problem (PROGRAM [SUBCOMMAND] --help)".
struct Parsed {
    int exit_code = -1;
    std::string text;
};
// `args` without the program's name.
Parsed Parse(CLI::App& app, const std::vector<std::string>& args, const Wording& wording);

// Parse, then print `text` where it belongs; returns exit_code.
int ParseMain(CLI::App& app, int argc, const char* const* argv, const Wording& wording);

}  // namespace novex
