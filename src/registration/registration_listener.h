// The registration listener: the worker thread that receives terminal
// announcements on UDP port 8000 and records their senders.
#pragma once

#include <atomic>
#include <cstdint>

// Keeps the listener looping; set and cleared by the monitor service's Run.
extern std::atomic<std::int32_t> listenerRunning;

// Thread procedure; the argument is not used. Returns the thread's exit code.
std::uint32_t RegistrationListener(void* argument);
