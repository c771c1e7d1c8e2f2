// The web configuration file (YAML), parsed from any text. Properties: no exception
// escapes; a refusal is one line without a password hash; an accepted file's users
// all have bcrypt hashes, its headers no line breaks, and HTTPS has its two files.
#include <string>

#include "fuzz/fuzz_input.h"
#include "web/web_config.h"

using novexfuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    novex::web::WebConfig config;
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
        return 0;
    }
    for (const auto& [name, hash] : config.users)
        if (name.empty() || !novex::web::IsBcrypt(hash)) Fail("a user without a bcrypt hash");
    for (const auto& [name, value] : config.headers)
        if ((name + value).find_first_of("\r\n") != std::string::npos) Fail("a header line break");
    if (config.tls && (config.tls_settings.cert_file.empty() || config.tls_settings.key_file.empty()))
        Fail("HTTPS without a certificate or key");
    return 0;
}
