// Scenario files. A scenario file is one JSON object:
//
//   {
//     "base": "normal",                      optional: start from a built-in scenario
//                                            (without it every value starts at 0)
//     "coils": {"65": 1, "68": 1},           coil address -> 0 or 1
//     "input_registers": {"1": 2203, "86": "0x8040"},   register address -> 0..65535
//     "per_round": {                         added at the start of every round but the
//       "coils": {"90": 1},                  first (a round starts with each read of
//       "input_registers": {"37": -1}        coil 1), clamped to 0..1 and 0..65535;
//     }                                      added to the base's own changes
//   }
//
// Addresses are decimal and must be ones the UPS serves. Values are JSON integers or
// strings holding a decimal or 0x-prefixed hexadecimal integer (flag registers read
// better in hex). Unknown keys and duplicate keys are errors, so a typo cannot
// silently leave a value at zero.
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <json/json.h>
#include <sys/stat.h>

#include "core/command_line.h"
#include "sim/register_map.h"

namespace novexsim {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

std::string OneLine(std::string text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

std::string Names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// Decimal (optionally signed) or 0x-prefixed hexadecimal, nothing else.
bool ParseInteger(const std::string& text, long long& out) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFLL) return false;
    }
    out = negative ? -v : v;
    return true;
}

bool ParseAddress(const std::string& key, int& out) {
    if (key.empty() || key.size() > 6) return false;
    for (char c : key)
        if (c < '0' || c > '9') return false;
    out = std::stoi(key);
    return true;
}

class Reader {
public:
    Reader(const std::string& origin, std::string& error) : origin_(origin), error_(error) {}

    bool Fail(const std::string& what) {
        error_ = origin_ + ": " + what;
        return false;
    }

    // Reads {"address": value, ...} of one table; `delta` selects the per-round range.
    template <typename Sink>
    bool Table(const Json::Value& object, const std::string& where, novexsim::Table table,
               bool delta, Sink sink) {
        if (!object.isObject()) return Fail(where + " must be an object");
        const bool coils = table == novexsim::Table::kCoils;
        const long long top = coils ? 1 : 65535;
        const long long bottom = delta ? -top : 0;
        // JSON refuses a key given twice, but "65" and "065" are two keys for one
        // address: the later value would silently win.
        std::map<int, std::string> spelt;
        for (const std::string& key : object.getMemberNames()) {
            int address = 0;
            if (!ParseAddress(key, address))
                return Fail(where + ": " + novex::QuoteText(key) + " is not an address");
            const auto [first, fresh] = spelt.emplace(address, key);
            if (!fresh)
                return Fail(where + ": address " + std::to_string(address) +
                            " is given twice (" + novex::QuoteText(first->second) + " and " +
                            novex::QuoteText(key) + ")");
            if (!IsMapped(table, address))
                return Fail(where + ": address " + key + " is not served (" +
                            DescribeMap(table) + ")");
            const Json::Value& v = object[key];
            long long value = 0;
            if (v.isInt64() && !v.isBool()) {
                value = v.asInt64();
            } else if (!v.isString() || !ParseInteger(v.asString(), value)) {
                return Fail(where + " " + key + ": the value must be an integer");
            }
            if (value < bottom || value > top)
                return Fail(where + " " + key + ": " + std::to_string(value) +
                            " is out of range " + std::to_string(bottom) + ".." +
                            std::to_string(top));
            sink(address, static_cast<int>(value));
        }
        return true;
    }

    bool Keys(const Json::Value& object, const std::string& where,
              const std::vector<std::string>& allowed) {
        for (const std::string& key : object.getMemberNames()) {
            bool known = false;
            for (const std::string& a : allowed) known = known || key == a;
            if (!known)
                return Fail(where + "unknown key " + novex::QuoteText(key) + " (expected " +
                            Names(allowed) + ")");
        }
        return true;
    }

private:
    const std::string& origin_;
    std::string& error_;
};

}  // namespace

bool ParseScenario(const std::string& text, const std::string& origin, Scenario& out,
                   std::string& error) {
    Reader reader(origin, error);
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    Json::Value root;
    std::string parse_error;
    const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
    bool parsed = false;
    try {
        parsed = parser->parse(text.data(), text.data() + text.size(), &root, &parse_error);
    } catch (const std::exception& e) {
        parse_error = e.what();  // nesting too deep
    }
    if (!parsed) return reader.Fail("not valid JSON: " + OneLine(parse_error));
    if (!root.isObject()) return reader.Fail("the top level must be a JSON object");
    if (!reader.Keys(root, "", {"base", "coils", "input_registers", "per_round"}))
        return false;

    Scenario s;
    if (root.isMember("base")) {
        const Json::Value& base = root["base"];
        if (!base.isString() || !BuiltinScenario(base.asString(), s))
            return reader.Fail("base: not a built-in scenario (expected " +
                               Names(BuiltinScenarioNames()) + ")");
    }
    s.name = origin;

    auto set = [&s](Table table) {
        return [&s, table](int address, int value) {
            s.value(table, address) = static_cast<uint16_t>(value);
        };
    };
    auto add = [&s](Table table) {
        return [&s, table](int address, int delta) {
            s.per_round.push_back({table, address, delta});
        };
    };
    const Json::Value none(Json::objectValue);
    if (!reader.Table(root.get("coils", none), "coils", Table::kCoils, false,
                      set(Table::kCoils)) ||
        !reader.Table(root.get("input_registers", none), "input_registers",
                      Table::kInputRegisters, false, set(Table::kInputRegisters)))
        return false;
    if (root.isMember("per_round")) {
        const Json::Value& per = root["per_round"];
        if (!per.isObject()) return reader.Fail("per_round must be an object");
        if (!reader.Keys(per, "per_round: ", {"coils", "input_registers"}) ||
            !reader.Table(per.get("coils", none), "per_round coils", Table::kCoils, true,
                          add(Table::kCoils)) ||
            !reader.Table(per.get("input_registers", none), "per_round input_registers",
                          Table::kInputRegisters, true, add(Table::kInputRegisters)))
            return false;
    }
    out = std::move(s);
    return true;
}

bool LoadScenarioFile(const std::string& path, Scenario& out, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = path + ": cannot read";
        return false;
    }
    const std::string content = text.str();
    if (content.size() > kMaxFileBytes) {
        error = path + ": larger than 1 MiB, not a scenario file";
        return false;
    }
    return ParseScenario(content, path, out, error);
}

}  // namespace novexsim
