// Certificates made with the openssl program at test time, in a folder of the test's
// own: a CA, a server certificate for localhost and 127.0.0.1 signed by it, a client
// certificate, a second CA that signed none of them, and an expired server
// certificate. Keys are owner-only, as vimohost asks.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace test_certs {

class Certs {
public:
    Certs() {
        char pattern[] = "/tmp/vimohost-certs-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made ? made : "";
        const std::string d = dir_;
        // Each line: one openssl command, run in the folder.
        const std::string commands[] = {
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=test-ca -keyout ca.key -out ca.pem",
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=other-ca -keyout other-ca.key -out other-ca.pem",
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost "
            "-keyout server.key -out server.csr",
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
            "-extfile server.ext -out server.pem",
            // Valid until a day before it was made.
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days -1 "
            "-extfile server.ext -out expired.pem",
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=client "
            "-keyout client.key -out client.csr",
            "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
            "-out client.pem",
        };
        std::ofstream(d + "/server.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        ok_ = !dir_.empty();
        for (const std::string& command : commands)
            ok_ = ok_ && std::system(("cd " + d + " && " + command + " >/dev/null 2>&1").c_str()) == 0;
        // The certificate and key in one file, as the UPS protocol server takes them.
        ok_ = ok_ && std::system(("cd " + d + " && cat server.pem server.key > both.pem && "
                                  "chmod 600 *.key both.pem").c_str()) == 0;
    }
    ~Certs() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    Certs(const Certs&) = delete;
    Certs& operator=(const Certs&) = delete;

    bool ok() const { return ok_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    bool ok_ = false;
};

}  // namespace test_certs
