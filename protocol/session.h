// The UPS network protocol for one client: a line in, the answer out. No I/O of its
// own, so the server, tests and fuzzers drive it alike. Answers follow the protocol
// clients expect: "VAR ups battery.charge \"85\"", BEGIN LIST ... END LIST, and the
// error names (ERR UNKNOWN-UPS, ERR VAR-NOT-SUPPORTED, ERR DATA-STALE, ...).
//
// Reading needs no login. LOGIN needs a user of the users file; PRIMARY (or its old
// name MASTER) a user with the "primary" right, FSD one with "primary" or "fsd". SET
// and INSTCMD are always refused: vimohost carries out no commands. There is no TLS.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "access/attempt_limiter.h"
#include "protocol/directory.h"
#include "protocol/users.h"

namespace novex {
namespace protocol {

// Which session is logged in to which UPS, for GET NUMLOGINS and LIST CLIENT. Shared
// by the sessions of one server, on its thread only.
class LoginTable {
public:
    void Add(const void* session, const std::string& ups, const std::string& address);
    void Remove(const void* session);
    size_t Count(const std::string& ups) const;
    std::vector<std::string> Clients(const std::string& ups) const;

private:
    struct Login {
        const void* session;
        std::string ups;
        std::string address;
    };
    std::vector<Login> logins_;
};

struct SessionContext {
    UpsDirectory& directory;
    const Users& users;
    LoginTable& logins;
    std::string version;                           // the answer to VER
    std::function<void(const std::string&)> log;   // notable events; never a password
    access::AttemptLimiter* limiter = nullptr;     // slows down wrong passwords; null: none
    bool tls_available = false;  // STARTTLS can be answered
    bool require_tls = false;    // no PASSWORD, LOGIN, PRIMARY or FSD before STARTTLS
};

struct Reply {
    std::string text;    // zero or more lines, each ending in "\n"
    bool close = false;  // close the connection once the text is sent
    // Not answered yet: the client's address must wait this long before its password
    // is checked. The caller presents the same line again then, reading nothing else
    // from that client meanwhile.
    std::chrono::milliseconds hold{0};
    // STARTTLS accepted: once the text is sent, the connection continues over TLS.
    bool start_tls = false;
};

class Session {
public:
    Session(SessionContext& context, std::string address);
    ~Session();  // ends its login
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One request line, without its line end (a trailing "\r" is ignored).
    Reply Handle(const std::string& line);
    // The server completed the TLS handshake that STARTTLS announced. What was sent in
    // plain text (user, password, a login) could have been put there by anyone on the
    // path: the session starts over, as the client expects after STARTTLS.
    void TlsStarted();
    // Whether the client logged in (LOGIN) to a UPS: such a one (upsmon) is never the
    // connection closed to make room for another.
    bool LoggedIn() const { return !login_ups_.empty(); }

    // A handler: the request's words after the command (and subcommand).
    using Args = std::vector<std::string>;

private:
    Reply Help(const Args&);
    Reply Version(const Args&);
    Reply NetVersion(const Args&);
    Reply StartTls(const Args&);
    Reply GetVar(const Args&);
    Reply GetType(const Args&);
    Reply GetDesc(const Args&);
    Reply GetUpsDesc(const Args&);
    Reply GetNumLogins(const Args&);
    Reply GetCmdDesc(const Args&);
    Reply ListUps(const Args&);
    Reply ListVar(const Args&);
    Reply ListRw(const Args&);
    Reply ListCmd(const Args&);
    Reply ListEnum(const Args&);
    Reply ListRange(const Args&);
    Reply ListClient(const Args&);
    Reply SetVar(const Args&);
    Reply InstCmd(const Args&);
    Reply Username(const Args&);
    Reply Password(const Args&);
    Reply Login(const Args&);
    Reply Logout(const Args&);
    Reply Primary(const Args&);
    Reply Master(const Args&);
    Reply ForcedShutdown(const Args&);

    // The UPS's state, or the error to answer: UNKNOWN-UPS, or DATA-STALE when
    // `fresh` is asked for.
    std::shared_ptr<const UpsState> State(const std::string& ups, bool fresh, Reply& error) const;
    bool Known(const std::string& ups) const;
    // The authenticated user, or the error to answer.
    const User* Authenticated(const char* command, Reply& error) const;
    // The user and password given, through the attempt limiter.
    const User* CheckPassword(const char* command, Reply& error) const;
    Reply GrantPrimary(const Args& args, const char* granted);

    SessionContext& context_;
    std::string address_;
    std::string username_;
    std::string password_;
    bool username_set_ = false;
    bool password_set_ = false;
    std::string login_ups_;  // "" until LOGIN
    bool tls_ = false;
};

}  // namespace protocol
}  // namespace novex
