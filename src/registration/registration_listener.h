// The registration listener: the worker thread that receives terminal
// announcements on UDP port 8000 and records their senders.
#pragma once

#include <atomic>
#include <cstdint>

// Keeps the listener looping; set and cleared by the monitor service's Run.
extern std::atomic<std::int32_t> listenerRunning;

// The port the listener binds. Tests bind their own ports; the service
// always listens on kRegistrationPort.
inline constexpr std::uint16_t kRegistrationPort = 8000;
extern std::atomic<std::uint16_t> registrationPort;

// Thread procedure; the argument is not used. Returns the thread's exit code:
// 0 after listenerRunning was cleared; -1 Winsock start or socket close
// failed; -2 socket creation or Winsock clean-up failed; -3 bind failed;
// -6 the terminal database could not be opened.
std::uint32_t RegistrationListener(void* argument);
