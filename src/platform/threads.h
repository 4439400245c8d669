// Threads, sleeps and thread ids: what the service, the scanner, the probes and
// the listener need to start workers that nobody joins.
#pragma once

#include <cstdint>

#include "platform/unique_handle.h"

namespace corvel::platform {

// A worker's procedure; its result is the thread's exit code, which nothing reads.
using ThreadProcedure = std::uint32_t (*)(void* argument);

// Owner token of a started thread. Closing it does not wait for the thread.
struct ThreadRecord;
using ThreadHandle = ThreadRecord*;

// Starts a thread running procedure(argument) at once, with default security.
// stackReservation is the address space reserved for its stack (0: the
// executable's default, 2 MiB for the PE product, 8 MiB with glibc); the
// stack is committed only as it is used. Returns null when the thread cannot
// be started.
ThreadHandle StartThread(ThreadProcedure procedure, void* argument, std::uint32_t stackReservation = 0);

// Releases the handle without waiting for the thread.
void CloseThreadHandle(ThreadHandle thread);
using ThreadOwner = UniqueResource<ThreadHandle, &CloseThreadHandle>;

// Waits for the thread to end, at most timeoutMs; true when it has ended.
// Only tests and tools use this: the service never waits for its workers.
bool WaitForThread(ThreadHandle thread, std::uint32_t timeoutMs);

void SleepMs(std::uint32_t milliseconds);

// The calling thread's id as the system numbers it (GetCurrentThreadId, gettid).
std::uint32_t CurrentThreadId();

// The calling thread's last error code (GetLastError; errno mapped on Linux).
std::uint32_t LastErrorCode();
void SetLastErrorCode(std::uint32_t code);

// Milliseconds from a monotonic clock, for deadlines.
std::uint64_t MonotonicMs();

}  // namespace corvel::platform
