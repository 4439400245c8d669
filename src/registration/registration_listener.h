// The registration listener: the worker thread that receives terminal
// announcements on UDP port 8000 and records their senders.
#pragma once

#include <atomic>
#include <cstdint>

// Keeps the listener looping; set and cleared by the monitor service's Run.
extern std::atomic<std::int32_t> listenerRunning;

// The port the listener binds when it starts; tests set their own.
inline constexpr std::uint16_t kRegistrationPort = 8000;
extern std::atomic<std::uint16_t> registrationPort;

// Exit codes of the listener thread.
inline constexpr std::int32_t kListenerEnded = 0;
inline constexpr std::int32_t kListenerNetworkFailed = -1;   // Winsock start, or closing the socket
inline constexpr std::int32_t kListenerSocketFailed = -2;    // creating the socket, or the Winsock clean-up
inline constexpr std::int32_t kListenerBindFailed = -3;
inline constexpr std::int32_t kListenerDatabaseFailed = -6;

// Thread procedure; the argument is not used. Returns the thread's exit code.
std::uint32_t RegistrationListener(void* argument);
