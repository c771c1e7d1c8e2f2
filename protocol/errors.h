// The error names the protocol answers with ("ERR UNKNOWN-UPS"), each written once.
// Clients match them by name, so a name never changes.
#pragma once

namespace novex {
namespace protocol {

enum class Err {
    kAccessDenied,
    kAlreadyLoggedIn,
    kAlreadySetPassword,
    kAlreadySetUsername,
    kAlreadySslMode,
    kCmdNotSupported,
    kDataStale,
    kFeatureNotConfigured,
    kInvalidArgument,
    kInvalidPassword,
    kInvalidUsername,
    kPasswordRequired,
    kReadonly,
    kUnknownCommand,
    kUnknownUps,
    kUsernameRequired,
    kVarNotSupported,
};

// Indexed by Err. Column: the name on the wire.
inline constexpr const char* kErrNames[] = {
    "ACCESS-DENIED",       "ALREADY-LOGGED-IN", "ALREADY-SET-PASSWORD", "ALREADY-SET-USERNAME",
    "ALREADY-SSL-MODE",
    "CMD-NOT-SUPPORTED",   "DATA-STALE",        "FEATURE-NOT-CONFIGURED", "INVALID-ARGUMENT",
    "INVALID-PASSWORD",    "INVALID-USERNAME",  "PASSWORD-REQUIRED",    "READONLY",
    "UNKNOWN-COMMAND",     "UNKNOWN-UPS",       "USERNAME-REQUIRED",    "VAR-NOT-SUPPORTED",
};
static_assert(sizeof kErrNames / sizeof kErrNames[0] == static_cast<int>(Err::kVarNotSupported) + 1,
              "one name per error");

inline constexpr const char* ErrName(Err e) { return kErrNames[static_cast<int>(e)]; }

}  // namespace protocol
}  // namespace novex
