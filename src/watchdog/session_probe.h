// The session probe: one thread per eligible session and scanner pass. It asks
// the session's terminal whether its web service answers Test and logs the
// session off when it does not.
#pragma once

#include <cstdint>
#include <string>

// Thread procedure; the argument carries the session id by value. The exit
// code carries no meaning.
std::uint32_t SessionProbe(void* argument);

// The session's client IPv4 address as "%d.%d.%d.%d" of the address bytes 2
// to 5, whatever the family; empty text when the query fails.
std::string GetClientAddress(std::uint32_t sessionId);
