// Terminal services from systemd-logind: the sessions of a real Linux
// remote-desktop server, on the system bus through sd-bus. Chosen at start by
// CORVEL_SESSION_SOURCE=logind (sessions.cpp); the session table stays the
// default.
//
// A session is connected (and so probed) when logind says it is remote, of
// class user, alive (state active or online), on no seat, opened by one of the
// PAM services in CORVEL_LOGIND_SERVICES (comma- or space-separated; unset or
// empty: xrdp-sesman), with an IPv4 remote host (::ffff:a.b.c.d counts as
// a.b.c.d) that can be a client's: not unspecified, broadcast, multicast or,
// unless tests allow it, loopback. Every other session is listed in a state
// that is never probed. The console is the active session of seat0.
//
// Session numbers: a session id that is a plain decimal number from 1 to
// 2147483647 (no sign, no leading zero) is its own number; any other id ("c1",
// "007") gets a number from 2147483648 up, assigned on first sight and never
// given to another id while the process runs; an id that leaves the listing
// loses its number. A number therefore names one logind session only, and a
// logoff ends exactly the session that was probed.
//
// Each call opens a connection of its own and closes it before it returns:
// probes call from many threads at once, sd-bus objects are not thread-safe,
// and a connection of its own lets no slow call hold up another probe's, and
// recovers by itself when the bus restarts. Each call as a whole, connecting
// and authenticating included, ends by a deadline well inside the scan period.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sessions.h"

namespace corvel::platform::logind {

// The whole of one listing (every session's properties included) and of every
// other call.
inline constexpr std::uint32_t kListDeadlineMs = 1500;
inline constexpr std::uint32_t kCallDeadlineMs = 1000;

// The first number given to an id that is no plain number.
inline constexpr std::uint32_t kFirstAssignedNumber = 0x80000000u;

// The six session calls of sessions.h over logind. A failed listing writes a
// trace line of its own (the platform has no other way to tell the operator),
// as does a failed TerminateSession. LogoffSession ends only a session that
// is connected at that moment; wait has no meaning here (logind has begun to
// end the session when TerminateSession returns).
std::uint32_t ActiveConsoleSessionId();
bool EnumerateSessions(std::vector<SessionEntry>& sessions);
bool QueryClientAddress(std::uint32_t sessionId, ClientAddressRecord& record);
bool QueryConnectState(std::uint32_t sessionId, SessionState& state);
bool LogoffSession(std::uint32_t sessionId, bool wait);
bool QueryOsVersion(OsVersionRecord& record);

// The IPv4 address (in network order) of a remote host text, when it is one that a client can
// have; none for a name, an IPv6 address and the rest.
std::optional<std::array<std::uint8_t, 4>> ClientIpv4(std::string_view remoteHost);

// The number of a logind session id (none when no number can be given) and
// the id of a number (none when the number names no session seen).
std::optional<std::uint32_t> SessionNumber(const std::string& sessionId);
std::optional<std::string> SessionIdOf(std::uint32_t number);

// Tests run their terminals on loopback addresses; the service never probes
// them (a loopback client is a tunnel of the server's own, ssh -L or a local
// proxy, and probing it would probe the server itself).
void SetLoopbackProbed(bool probed);

}  // namespace corvel::platform::logind
