// Threads on Windows: CreateThread with a small start record, since the
// thread procedure's calling convention differs from ours.
#include "platform/threads.h"

#include <windows.h>

namespace corvel::platform {

struct ThreadRecord {
    HANDLE handle;
};

namespace {

struct StartRecord {
    ThreadProcedure procedure;
    void* argument;
};

DWORD WINAPI ThreadEntry(LPVOID start)
{
    StartRecord record = *static_cast<StartRecord*>(start);
    delete static_cast<StartRecord*>(start);
    return record.procedure(record.argument);
}

}  // namespace

ThreadHandle StartThread(ThreadProcedure procedure, void* argument, std::uint32_t stackReservation)
{
    auto* start = new StartRecord{procedure, argument};
    // With the flag the size is the reservation itself (without it, it would
    // be the initial commit, and the reservation would stay the PE default).
    const DWORD flags = stackReservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    HANDLE handle = CreateThread(nullptr, stackReservation, ThreadEntry, start, flags, nullptr);
    if (handle == nullptr) {
        delete start;
        return nullptr;
    }
    return new ThreadRecord{handle};
}

void CloseThreadHandle(ThreadHandle thread)
{
    if (thread != nullptr) {
        CloseHandle(thread->handle);
        delete thread;
    }
}

bool WaitForThread(ThreadHandle thread, std::uint32_t timeoutMs)
{
    return thread == nullptr || WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void SleepMs(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

std::uint32_t CurrentThreadId()
{
    return GetCurrentThreadId();
}

std::uint32_t LastErrorCode()
{
    return GetLastError();
}

void SetLastErrorCode(std::uint32_t code)
{
    SetLastError(code);
}

std::uint64_t MonotonicMs()
{
    return GetTickCount64();
}

}  // namespace corvel::platform
