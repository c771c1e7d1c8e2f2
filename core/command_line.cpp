#include "core/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <sstream>

#include "core/version.h"

namespace novex {

void KeepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so the lowest free number is `fd`.
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0 || opened == fd) continue;
        dup2(opened, fd);
        close(opened);
    }
}

std::string EscapeText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += escaped;
    }
    return out;
}

std::string QuoteText(const std::string& text) { return "\"" + EscapeText(text) + "\""; }

bool ParseWhole(const std::string& text, int64_t min, int64_t max, int64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = 0;
    if (text[0] == '-') {
        if (min >= 0) return false;
        i = 1;
    }
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

CLI::Option* AddValue(CLI::App& app, const std::string& flag, const std::string& value_name,
                      const std::string& help, Take take) {
    CLI::Option* option = app.add_option_function<std::string>(
        flag,
        [flag, take](const std::string& value) {
            const std::string expected = take(value);
            if (!expected.empty()) throw BadValue(flag, expected, value);
        },
        help);
    option->type_name(value_name);
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    return option;
}

CLI::Option* AddText(CLI::App& app, const std::string& flag, const std::string& value_name,
                     const std::string& help, std::string& target) {
    return AddValue(app, flag, value_name, help, [&target](const std::string& v) {
        if (v.empty()) return std::string("a non-empty text");
        target = v;
        return std::string();
    });
}

namespace {

// Help in our order: the usage first, then what the program does, the options, the
// notes.
class UsageFirst : public CLI::Formatter {
public:
    static constexpr size_t kColumn = 26;
    static constexpr size_t kWidth = 90;

    explicit UsageFirst(std::string usage) : usage_(std::move(usage)) { column_width(kColumn); }
    std::string make_usage(const CLI::App*, std::string) const override { return ""; }
    // "--slave N": what a value is called, not which options it excludes or needs (the
    // description says that).
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_type_size() == 0 ? "" : " " + option->get_type_name();
    }
    // Descriptions wrapped at kWidth; CLI11 indents each new line to the column.
    std::string make_option_desc(const CLI::Option* option) const override {
        std::string wrapped;
        size_t line = 0;
        std::istringstream words(option->get_description());
        for (std::string word; words >> word;) {
            if (line > 0 && line + 1 + word.size() > kWidth - kColumn) {
                wrapped += '\n';
                line = 0;
            } else if (line > 0) {
                wrapped += ' ';
                ++line;
            }
            wrapped += word;
            line += word.size();
        }
        return wrapped;
    }
    std::string make_description(const CLI::App* app) const override {
        const std::string about = app->get_description();
        return "usage: " + usage_ + "\n" + (about.empty() ? "" : "\n" + about + "\n");
    }

private:
    std::string usage_;
};

// "vimohost history": the program and the subcommands the command line chose.
std::string Who(const CLI::App& app) {
    std::string who = app.get_name();
    for (const CLI::App* sub : app.get_subcommands()) who += " " + Who(*sub);
    return who;
}

const CLI::App& Deepest(const CLI::App& app) {
    const auto subs = app.get_subcommands();
    return subs.empty() ? app : Deepest(*subs.front());
}

// CLI11's texts of a wrong number of values, and ours. Columns: a part of CLI11's
// text, what follows the option's name in ours.
struct Mismatch {
    const char* marker;
    const char* ours;
};
const Mismatch kMismatches[] = {
    {" missing", " needs a value"},
    {"flag override", " takes no value"},
    {"At Most", " is given more than once"},
};
static_assert(sizeof kMismatches / sizeof kMismatches[0] == 3, "one row per wording");

std::string Explain(const CLI::App& app, const CLI::Error& e, const Wording& wording) {
    const std::string text = e.what();
    if (const auto* bad = dynamic_cast<const BadValue*>(&e)) return bad->Worded(wording);
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
        const CLI::App& where = Deepest(app);
        const auto extras = where.remaining();
        if (extras.empty()) return text;
        const std::string arg = extras.front().substr(0, extras.front().find('='));
        if (arg.compare(0, 1, "-") != 0)
            return "unexpected argument " + std::string(1, wording.quote) + arg + wording.quote;
        return "unknown option " + arg + (&where == &app ? "" : " for " + where.get_name());
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        std::string name = text.substr(0, text.find_first_of(": "));
        if (name.compare(0, 1, "-") != 0) name = "--" + name;
        for (const Mismatch& m : kMismatches)
            if (text.find(m.marker) != std::string::npos) return name + m.ours;
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr) {
        const size_t at = text.find(" excludes ");
        if (at != std::string::npos)
            return text.substr(0, at) + " and " + text.substr(at + 10) +
                   " exclude each other: give only one of them";
    }
    const size_t requires_at = text.find(" requires ");
    if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr && requires_at != std::string::npos)
        return text.substr(0, requires_at) + " needs " + text.substr(requires_at + 10);
    return text;
}

}  // namespace

void Describe(CLI::App& app, const std::string& usage, const std::string& about,
              const std::string& footer) {
    app.formatter(std::make_shared<UsageFirst>(usage));
    app.description(about);
    app.footer(footer);
}

std::string VersionLine(const std::string& program) {
    std::string line = program + " " + NOVEX_VERSION;
    if (NOVEX_REVISION[0] != '\0') line += std::string(" (git ") + NOVEX_REVISION + ")";
    return line;
}

void AddVersion(CLI::App& app) {
    const std::string line = VersionLine(app.get_name());
    app.set_version_flag("--version", line, "print the program's version and exit");
}

Parsed Parse(CLI::App& app, const std::vector<std::string>& args, const Wording& wording) {
    app.failure_message([wording](const CLI::App* top, const CLI::Error& e) {
        const std::string who = Who(*top);
        return who + ": " + Explain(*top, e, wording) + " (" + who + " --help)\n";
    });
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        std::ostringstream out;
        std::ostringstream err;
        Parsed parsed;
        parsed.exit_code = app.exit(e, out, err) == 0 ? 0 : kExitUsage;
        parsed.text = out.str() + err.str();
        return parsed;
    }
    return Parsed{};
}

int ParseMain(CLI::App& app, int argc, const char* const* argv, const Wording& wording) {
    const Parsed parsed = Parse(app, std::vector<std::string>(argv + 1, argv + argc), wording);
    std::fputs(parsed.text.c_str(), parsed.exit_code == 0 ? stdout : stderr);
    return parsed.exit_code;
}

}  // namespace novex
