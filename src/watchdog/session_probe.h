// The session probe: one thread per eligible session and scanner pass. It asks
// the session's terminal whether its web service answers Test and logs the
// session off when it does not.
#pragma once

#include <cstdint>
#include <string>

// Address space reserved for each probe thread's stack. A probe's deepest
// use is a few tens of KiB: the transport's receive blocks (2 KiB each) and
// URL texts (2 KiB) on the stack, a 1 KiB trace line, the SAX reader's and
// SOAP reader's frames (nesting is bounded by the readers); the Linux probe
// runs within 64 KiB. 256 KiB leaves four times that, and with at most one
// probe per connected session in flight (the scanner starts none for a
// session whose probe still runs), 200 sessions reserve 200 x 256 KiB =
// 50 MiB instead of the 400 MiB of the 2 MiB PE default.
inline constexpr std::uint32_t kProbeStackReservation = 256u * 1024u;

// Thread procedure; the argument carries the session id by value. The exit
// code carries no meaning.
std::uint32_t SessionProbe(void* argument);

// The session's client IPv4 address as "%d.%d.%d.%d" of the address bytes 2
// to 5, whatever the family; empty text when the query fails.
std::string GetClientAddress(std::uint32_t sessionId);
