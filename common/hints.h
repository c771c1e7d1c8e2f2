// The likely cause beside an error, for the person who reads the log: what to check
// when a UPS does not answer, a gateway refuses, a serial port is closed to vimohost or
// a listening port is taken. Each function returns the text to append, " (...)", or "".
#pragma once

#include <string>

namespace vimo {

// A Modbus line's failure with `error` (an errno value): `tcp` for a gateway.
// `exchange`: the failure came after the line was open (a request went unanswered);
// otherwise opening it failed.
std::string LineHint(int error, bool tcp, bool exchange);

// Why `path` may not be opened for reading and writing by this process: its owner,
// group and mode, and whether the process's user is in that group.
std::string SerialAccessHint(const std::string& path);

// Why this process may not read `path` (EACCES): the owner, group and mode of the file, or
// of the first folder on its way that it may not enter, and the process's user.
std::string ReadAccessHint(const std::string& path);

// A listening address that is taken (EADDRINUSE) at `port`; `setting` names where the
// address is chosen ("--listen or \"listen\"").
std::string AddressInUseHint(int port, const std::string& setting);

}  // namespace vimo
