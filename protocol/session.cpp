#include "protocol/session.h"

#include <algorithm>
#include <cctype>

#include "protocol/errors.h"
#include "protocol/variable_map.h"
#include "protocol/words.h"

namespace novex {
namespace protocol {

namespace {

constexpr const char* kProtocolVersion = "1.3";
constexpr const char* kUnavailable = "Unavailable";
// Read-only strings have no length limit of their own; GET TYPE must name one.
constexpr const char* kStringType = "STRING:1024";

Reply Line(const std::string& text) { return {text + "\n", false}; }
Reply Error(Err e) { return Line(std::string("ERR ") + ErrName(e)); }

// BEGIN LIST <query> / lines / END LIST <query>.
Reply List(const std::string& query, const std::vector<std::string>& lines) {
    Reply reply{"BEGIN LIST " + query + "\n", false};
    for (const std::string& line : lines) reply.text += line + "\n";
    reply.text += "END LIST " + query + "\n";
    return reply;
}

const Variable* FindVariable(const UpsState& state, const std::string& name) {
    for (const Variable& v : state.variables)
        if (v.name == name) return &v;
    return nullptr;
}

bool IsNumber(const std::string& text) {
    if (text.empty()) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    bool digit = false, point = false;
    for (; i < text.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) digit = true;
        else if (text[i] == '.' && !point) point = true;
        else return false;
    }
    return digit;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A client-chosen name as it may appear in a log line: printable, bounded.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 64)) out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return out;
}

}  // namespace

void LoginTable::Add(const void* session, const std::string& ups, const std::string& address) {
    logins_.push_back({session, ups, address});
}

void LoginTable::Remove(const void* session) {
    logins_.erase(std::remove_if(logins_.begin(), logins_.end(),
                                 [session](const Login& l) { return l.session == session; }),
                  logins_.end());
}

size_t LoginTable::Count(const std::string& ups) const {
    return static_cast<size_t>(std::count_if(logins_.begin(), logins_.end(),
                                             [&ups](const Login& l) { return l.ups == ups; }));
}

std::vector<std::string> LoginTable::Clients(const std::string& ups) const {
    std::vector<std::string> out;
    for (const Login& l : logins_)
        if (l.ups == ups) out.push_back(l.address);
    return out;
}

Session::Session(SessionContext& context, std::string address)
    : context_(context), address_(std::move(address)) {}

Session::~Session() { context_.logins.Remove(this); }

void Session::TlsStarted() {
    tls_ = true;
    username_.clear();
    password_.clear();
    username_set_ = password_set_ = false;
    context_.logins.Remove(this);
    login_ups_.clear();
}

Reply Session::Handle(const std::string& raw) {
    // Columns: command, subcommand (nullptr: none), fewest and most arguments after
    // them, handler. Commands and subcommands match in any case.
    struct CommandRow {
        const char* command;
        const char* sub;
        size_t min_args;
        size_t max_args;
        Reply (Session::*handle)(const Args&);
    };
    static const CommandRow kCommands[] = {
        {"HELP", nullptr, 0, 0, &Session::Help},
        {"VER", nullptr, 0, 0, &Session::Version},
        {"NETVER", nullptr, 0, 0, &Session::NetVersion},
        {"STARTTLS", nullptr, 0, 0, &Session::StartTls},
        {"GET", "VAR", 2, 2, &Session::GetVar},
        {"GET", "TYPE", 2, 2, &Session::GetType},
        {"GET", "DESC", 2, 2, &Session::GetDesc},
        {"GET", "UPSDESC", 1, 1, &Session::GetUpsDesc},
        {"GET", "NUMLOGINS", 1, 1, &Session::GetNumLogins},
        {"GET", "CMDDESC", 2, 2, &Session::GetCmdDesc},
        {"LIST", "UPS", 0, 0, &Session::ListUps},
        {"LIST", "VAR", 1, 1, &Session::ListVar},
        {"LIST", "RW", 1, 1, &Session::ListRw},
        {"LIST", "CMD", 1, 1, &Session::ListCmd},
        {"LIST", "ENUM", 2, 2, &Session::ListEnum},
        {"LIST", "RANGE", 2, 2, &Session::ListRange},
        {"LIST", "CLIENT", 1, 1, &Session::ListClient},
        {"SET", "VAR", 3, 3, &Session::SetVar},
        {"INSTCMD", nullptr, 2, 3, &Session::InstCmd},
        {"USERNAME", nullptr, 1, 1, &Session::Username},
        {"PASSWORD", nullptr, 1, 1, &Session::Password},
        {"LOGIN", nullptr, 1, 1, &Session::Login},
        {"LOGOUT", nullptr, 0, 0, &Session::Logout},
        {"PRIMARY", nullptr, 1, 1, &Session::Primary},
        {"MASTER", nullptr, 1, 1, &Session::Master},
        {"FSD", nullptr, 1, 1, &Session::ForcedShutdown},
    };
    static_assert(sizeof kCommands / sizeof kCommands[0] == 26, "rows of the command table");

    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> words;
    if (!SplitWords(line, words)) return Error(Err::kInvalidArgument);
    if (words.empty()) return Error(Err::kUnknownCommand);
    const std::string command = Upper(words[0]);
    const std::string sub = words.size() > 1 ? Upper(words[1]) : "";
    bool command_known = false;
    for (const CommandRow& row : kCommands) {
        if (command != row.command) continue;
        command_known = true;
        if (row.sub && sub != row.sub) continue;
        const size_t skip = row.sub ? 2 : 1;
        const Args args(words.begin() + static_cast<long>(skip), words.end());
        if (args.size() < row.min_args || args.size() > row.max_args) return Error(Err::kInvalidArgument);
        return (this->*row.handle)(args);
    }
    return Error(command_known ? Err::kInvalidArgument : Err::kUnknownCommand);
}

bool Session::Known(const std::string& ups) const { return context_.directory.Read(ups) != nullptr; }

std::shared_ptr<const UpsState> Session::State(const std::string& ups, bool fresh, Reply& error) const {
    std::shared_ptr<const UpsState> state = context_.directory.Read(ups);
    if (!state) error = Error(Err::kUnknownUps);
    else if (fresh && state->stale) error = Error(Err::kDataStale);
    else return state;
    return nullptr;
}

const User* Session::Authenticated(const char* command, Reply& error) const {
    if (context_.require_tls && !tls_) error = Error(Err::kAccessDenied);
    else if (!username_set_) error = Error(Err::kUsernameRequired);
    else if (!password_set_) error = Error(Err::kPasswordRequired);
    else return CheckPassword(command, error);
    return nullptr;
}

const User* Session::CheckPassword(const char* command, Reply& error) const {
    access::AttemptLimiter* limiter = context_.limiter;
    const auto now = access::AttemptLimiter::Clock::now();
    if (limiter) {
        const auto wait = limiter->Admit(address_, now);
        if (wait > wait.zero()) {
            // Rounded up, so that the line comes back once the slot is open.
            error.hold = std::chrono::ceil<std::chrono::milliseconds>(wait);
            return nullptr;
        }
    }
    if (const User* user = context_.users.Authenticate(username_, password_)) {
        if (limiter) limiter->Succeeded(address_);
        return user;
    }
    error = Error(Err::kAccessDenied);
    // A burst of guesses is logged by its first refusal and the moment it is slowed
    // down, not line by line.
    const bool slowed = limiter && limiter->Failed(address_, now);
    const bool first = !limiter || limiter->Failures(address_) == 1;
    if (context_.log && first)
        context_.log(std::string(command) + " refused: user \"" + Printable(username_) +
                     "\" from " + address_ + " not known or wrong password");
    if (context_.log && slowed)
        context_.log("wrong passwords from " + address_ +
                     ": further attempts slowed down, not logged until one succeeds");
    return nullptr;
}

Reply Session::Help(const Args&) {
    return Line("Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD "
                "PRIMARY MASTER FSD STARTTLS");
}

Reply Session::Version(const Args&) { return Line(context_.version); }
Reply Session::NetVersion(const Args&) { return Line(kProtocolVersion); }
Reply Session::StartTls(const Args&) {
    if (!context_.tls_available) return Error(Err::kFeatureNotConfigured);
    if (tls_) return Error(Err::kAlreadySslMode);
    Reply reply = Line("OK STARTTLS");
    reply.start_tls = true;
    return reply;
}

Reply Session::GetVar(const Args& a) {
    Reply error;
    const auto state = State(a[0], true, error);
    if (!state) return error;
    const Variable* v = FindVariable(*state, a[1]);
    if (!v) return Error(Err::kVarNotSupported);
    return Line("VAR " + Word(a[0]) + " " + Word(a[1]) + " " + Quoted(v->value));
}

Reply Session::GetType(const Args& a) {
    Reply error;
    const auto state = State(a[0], true, error);
    if (!state) return error;
    const Variable* v = FindVariable(*state, a[1]);
    if (!v) return Error(Err::kVarNotSupported);
    return Line("TYPE " + Word(a[0]) + " " + Word(a[1]) + " " +
                (IsNumber(v->value) ? "NUMBER" : kStringType));
}

Reply Session::GetDesc(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    const char* text = VariableDescription(a[1]);
    return Line("DESC " + Word(a[0]) + " " + Word(a[1]) + " " + Quoted(text ? text : kUnavailable));
}

Reply Session::GetUpsDesc(const Args& a) {
    for (const UpsInfo& ups : context_.directory.List())
        if (ups.name == a[0])
            return Line("UPSDESC " + Word(a[0]) + " " +
                        Quoted(ups.description.empty() ? kUnavailable : ups.description));
    return Error(Err::kUnknownUps);
}

Reply Session::GetNumLogins(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    return Line("NUMLOGINS " + Word(a[0]) + " " + std::to_string(context_.logins.Count(a[0])));
}

Reply Session::GetCmdDesc(const Args& a) {
    return Error(Known(a[0]) ? Err::kCmdNotSupported : Err::kUnknownUps);
}

Reply Session::ListUps(const Args&) {
    std::vector<std::string> lines;
    for (const UpsInfo& ups : context_.directory.List())
        lines.push_back("UPS " + Word(ups.name) + " " +
                        Quoted(ups.description.empty() ? kUnavailable : ups.description));
    return List("UPS", lines);
}

Reply Session::ListVar(const Args& a) {
    Reply error;
    const auto state = State(a[0], true, error);
    if (!state) return error;
    std::vector<std::string> lines;
    for (const Variable& v : state->variables)
        lines.push_back("VAR " + Word(a[0]) + " " + Word(v.name) + " " + Quoted(v.value));
    return List("VAR " + Word(a[0]), lines);
}

Reply Session::ListRw(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    return List("RW " + Word(a[0]), {});  // nothing can be set
}

Reply Session::ListCmd(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    return List("CMD " + Word(a[0]), {});  // no instant commands
}

Reply Session::ListEnum(const Args& a) {
    Reply error;
    const auto state = State(a[0], true, error);
    if (!state) return error;
    if (!FindVariable(*state, a[1])) return Error(Err::kVarNotSupported);
    return List("ENUM " + Word(a[0]) + " " + Word(a[1]), {});
}

Reply Session::ListRange(const Args& a) {
    Reply error;
    const auto state = State(a[0], true, error);
    if (!state) return error;
    if (!FindVariable(*state, a[1])) return Error(Err::kVarNotSupported);
    return List("RANGE " + Word(a[0]) + " " + Word(a[1]), {});
}

Reply Session::ListClient(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    std::vector<std::string> lines;
    for (const std::string& address : context_.logins.Clients(a[0]))
        lines.push_back("CLIENT " + Word(a[0]) + " " + address);
    return List("CLIENT " + Word(a[0]), lines);
}

Reply Session::SetVar(const Args& a) {
    Reply error;
    const auto state = State(a[0], false, error);
    if (!state) return error;
    if (!state->stale && !FindVariable(*state, a[1])) return Error(Err::kVarNotSupported);
    return Error(Err::kReadonly);
}

Reply Session::InstCmd(const Args& a) {
    return Error(Known(a[0]) ? Err::kCmdNotSupported : Err::kUnknownUps);
}

Reply Session::Username(const Args& a) {
    if (username_set_) return Error(Err::kAlreadySetUsername);
    if (a[0].empty()) return Error(Err::kInvalidUsername);
    username_ = a[0];
    username_set_ = true;
    return Line("OK");
}

Reply Session::Password(const Args& a) {
    // Refused before it is kept, though it already crossed in clear: the client learns
    // to start TLS first.
    if (context_.require_tls && !tls_) return Error(Err::kAccessDenied);
    if (password_set_) return Error(Err::kAlreadySetPassword);
    if (a[0].empty()) return Error(Err::kInvalidPassword);
    password_ = a[0];
    password_set_ = true;
    return Line("OK");
}

Reply Session::Login(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    Reply error;
    if (!Authenticated("LOGIN", error)) return error;
    if (!login_ups_.empty()) return Error(Err::kAlreadyLoggedIn);
    login_ups_ = a[0];
    context_.logins.Add(this, a[0], address_);
    return Line("OK");
}

Reply Session::Logout(const Args&) { return {"OK Goodbye\n", true}; }

Reply Session::GrantPrimary(const Args& a, const char* granted) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    Reply error;
    const User* user = Authenticated(granted, error);
    if (!user) return error;
    if (!user->primary) return Error(Err::kAccessDenied);
    return Line(std::string("OK ") + granted + "-GRANTED");
}

Reply Session::Primary(const Args& a) { return GrantPrimary(a, "PRIMARY"); }
Reply Session::Master(const Args& a) { return GrantPrimary(a, "MASTER"); }

Reply Session::ForcedShutdown(const Args& a) {
    if (!Known(a[0])) return Error(Err::kUnknownUps);
    Reply error;
    const User* user = Authenticated("FSD", error);
    if (!user) return error;
    if (!user->primary && !user->fsd) return Error(Err::kAccessDenied);
    if (!context_.directory.SetForcedShutdown(a[0])) return Error(Err::kUnknownUps);
    if (context_.log)
        context_.log("forced shutdown set on " + a[0] + " by user " + user->name + " from " + address_);
    return Line("OK FSD-SET");
}

}  // namespace protocol
}  // namespace novex
