#include "protocol/users.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/regular_file.h"
#include "protocol/words.h"

namespace novex {
namespace protocol {

namespace {

// The rights a users file may grant. Columns: word, the member it sets.
struct RightRow {
    const char* word;
    bool User::*flag;
};
const RightRow kRights[] = {
    {"primary", &User::primary},
    {"fsd", &User::fsd},
};
static_assert(sizeof kRights / sizeof kRights[0] == 2, "one row per right");

// Compares every byte whatever the first difference, so the time taken does not tell
// how much of a guessed password was right.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

}  // namespace

bool Users::Parse(const std::string& text, Users& out, std::string& error) {
    out.users_.clear();
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> words;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!SplitWords(line, words)) {
            error = where + "unterminated quote or trailing backslash";
            return false;
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (words.size() < 2) {
            error = where + "expected a name and a password";
            return false;
        }
        User user;
        user.name = words[0];
        user.password = words[1];
        if (user.password.empty()) {
            error = where + "empty password for user " + user.name;
            return false;
        }
        // Clients send the password as it is, unquoted: such a one could never match.
        if (user.password.find_first_of(" \t\"\\") != std::string::npos) {
            error = where + "the password of user " + user.name +
                    " holds a space, quote or backslash, which clients cannot send";
            return false;
        }
        for (size_t w = 2; w < words.size(); ++w) {
            const RightRow* right = nullptr;
            for (const RightRow& row : kRights)
                if (words[w] == row.word) right = &row;
            if (!right) {
                error = where + "unknown right \"" + words[w] + "\" (primary, fsd)";
                return false;
            }
            user.*(right->flag) = true;
        }
        for (const User& other : out.users_)
            if (other.name == user.name) {
                error = where + "user " + user.name + " given twice";
                return false;
            }
        out.users_.push_back(std::move(user));
    }
    return true;
}

bool Users::Load(const std::string& path, Users& out, std::string& error) {
    std::string text;
    struct stat info {};
    if (!vimo::ReadRegularFile(path, "the users file", kMaxUsersFileBytes, text, error, &info)) {
        error = path + ": " + error;
        return false;
    }
    if (info.st_mode & (S_IRGRP | S_IROTH)) {
        error = path + ": holds passwords but group or others may read it (chmod 600)";
        return false;
    }
    if (!Parse(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

const User* Users::Authenticate(const std::string& name, const std::string& password) const {
    for (const User& user : users_)
        if (user.name == name) return SameSecret(user.password, password) ? &user : nullptr;
    return nullptr;
}

}  // namespace protocol
}  // namespace novex
