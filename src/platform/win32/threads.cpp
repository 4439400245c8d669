// Threads on Windows: CreateThread with a small start record, since the
// thread procedure's calling convention differs from ours.
#include "platform/threads.h"

#include <windows.h>

#include <memory>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

struct ThreadRecord {
    KernelHandle handle;
};

namespace {

struct StartRecord {
    ThreadProcedure procedure;
    void* argument;
};

DWORD WINAPI ThreadEntry(LPVOID start)
{
    StartRecord record = *std::unique_ptr<StartRecord>(static_cast<StartRecord*>(start));
    return record.procedure(record.argument);
}

}  // namespace

ThreadHandle StartThread(ThreadProcedure procedure, void* argument, std::uint32_t stackReservation)
{
    auto start = std::make_unique<StartRecord>(StartRecord{procedure, argument});
    // With the flag the size is the reservation itself (without it, it would
    // be the initial commit, and the reservation would stay the PE default).
    const DWORD flags = stackReservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    KernelHandle handle(CreateThread(nullptr, stackReservation, ThreadEntry, start.get(), flags, nullptr));
    if (!handle) {
        return nullptr;
    }
    start.release();  // the thread's, dropped by ThreadEntry
    return new ThreadRecord{std::move(handle)};
}

void CloseThreadHandle(ThreadHandle thread)
{
    delete thread;
}

bool WaitForThread(ThreadHandle thread, std::uint32_t timeoutMs)
{
    return thread == nullptr || WaitForSingleObject(thread->handle.get(), timeoutMs) == WAIT_OBJECT_0;
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
