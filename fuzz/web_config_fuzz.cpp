// The web configuration file (YAML), parsed from any text. Properties: no exception
// escapes; a refusal is one line without a password hash; an accepted file's users
// all have bcrypt hashes, its headers no line breaks, and HTTPS has its two files.
// Then a reload: the input cut at its first form feed is the file in force and the
// file read again; a reload the service takes never leaves it without users while it
// had some.
#include <string>

#include "fuzz/fuzz_input.h"
#include "web/web_config.h"

using novexfuzz::Fail;

namespace {

bool Check(const std::string& text, novex::web::WebConfig& config);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\f');
    novex::web::WebConfig in_force, fresh;
    if (!Check(input.substr(0, cut), in_force) || cut == std::string::npos) return 0;
    if (!Check(input.substr(cut + 1), fresh)) return 0;
    if (novex::web::ReloadRefusal(in_force, fresh).empty() && !in_force.users.empty() && fresh.users.empty())
        Fail("a reload took away every user");
    return 0;
}

namespace {

// Parses `text`; whether it was accepted, each outcome checked.
bool Check(const std::string& text, novex::web::WebConfig& config) {
    std::string error;
    bool accepted = false;
    try {
        accepted = novex::web::ParseWebConfig(text, "/etc/vimohost", config, error);
    } catch (...) {
        Fail("an exception escaped the web configuration parser");
    }
    if (!accepted) {
        if (error.empty() || error.find_first_of("\r\n") != std::string::npos)
            Fail("a refusal that is not one line");
        if (error.find("$2y$") != std::string::npos || error.find("$2b$") != std::string::npos)
            Fail("a hash in a refusal");
        return false;
    }
    for (const auto& [name, hash] : config.users)
        if (name.empty() || !novex::web::IsBcrypt(hash)) Fail("a user without a bcrypt hash");
    for (const auto& [name, value] : config.headers)
        if ((name + value).find_first_of("\r\n") != std::string::npos) Fail("a header line break");
    if (config.tls && (config.tls_settings.cert_file.empty() || config.tls_settings.key_file.empty()))
        Fail("HTTPS without a certificate or key");
    return true;
}

}  // namespace
