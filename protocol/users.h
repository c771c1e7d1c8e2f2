// Who may log in to the UPS protocol server, and what they may do.
//
// The users file holds one user a line: a name, a password and the user's rights,
// separated by spaces. Blank lines and lines starting with # are ignored. Passwords
// hold no spaces, quotes or backslashes: clients such as upsmon send the password
// unquoted, so such a password could never match (the file is refused).
//
//     # name     password   rights
//     monitor    s3cret     primary
//     panel      other      fsd
//     viewer     third
//
// Rights: "primary" (may act as the primary monitor of a UPS: PRIMARY/MASTER, and
// set forced shutdown), "fsd" (may set forced shutdown only). Every user in the file
// may LOGIN. Reading needs no user at all. The file holds passwords in clear, so it is
// refused when its group or others may read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace novex {
namespace protocol {

struct User {
    std::string name;
    std::string password;
    bool primary = false;
    bool fsd = false;
};

// A users file larger than this is refused unread: a few hundred users take a small
// part of it, and a wrong path (a log, /dev/zero) is caught at once.
constexpr size_t kMaxUsersFileBytes = size_t{64} << 10;

class Users {
public:
    // Parses the file's text; a bad line gives "line N: ..." (never the password).
    static bool Parse(const std::string& text, Users& out, std::string& error);
    // Reads and parses `path`, refused when group or others may read it.
    static bool Load(const std::string& path, Users& out, std::string& error);

    // The user whose name and password both match, or nullptr.
    const User* Authenticate(const std::string& name, const std::string& password) const;
    size_t size() const { return users_.size(); }

private:
    std::vector<User> users_;
};

}  // namespace protocol
}  // namespace novex
