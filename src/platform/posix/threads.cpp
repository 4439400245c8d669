// Threads on Linux: detached POSIX threads whose end can still be awaited
// through the record that the starter keeps.
#include "platform/threads.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvel::platform {

struct ThreadRecord {
    ThreadProcedure procedure;
    void* argument;
    std::mutex lock;
    std::condition_variable endedSignal;
    bool ended = false;
};

namespace {

// The record is shared by the thread and the handle's owner; whichever lets go
// last frees it.
struct SharedRecord {
    std::shared_ptr<ThreadRecord> record;
};

void* ThreadEntry(void* start)
{
    std::unique_ptr<SharedRecord> shared(static_cast<SharedRecord*>(start));
    ThreadRecord& record = *shared->record;
    record.procedure(record.argument);
    {
        std::lock_guard<std::mutex> guard(record.lock);
        record.ended = true;
    }
    record.endedSignal.notify_all();
    return nullptr;
}

}  // namespace

namespace {

// Sanitizer builds make every frame several times larger; they reserve
// correspondingly more, so that the stack bound of the product is not what
// a sanitizer run trips over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerStackFactor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kSanitizerStackFactor = 4;
#else
constexpr std::size_t kSanitizerStackFactor = 1;
#endif
#else
constexpr std::size_t kSanitizerStackFactor = 1;
#endif

}  // namespace

ThreadHandle StartThread(ThreadProcedure procedure, void* argument, std::uint32_t stackReservation)
{
    auto record = std::make_shared<ThreadRecord>();
    record->procedure = procedure;
    record->argument = argument;
    auto forThread = std::make_unique<SharedRecord>(SharedRecord{record});
    auto forOwner = std::make_unique<SharedRecord>(SharedRecord{record});

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackReservation != 0) {
        const std::size_t size =
            std::max<std::size_t>(std::size_t{stackReservation} * kSanitizerStackFactor, PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, ThreadEntry, forThread.get());
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        errno = result;
        return nullptr;
    }
    forThread.release();  // the thread's share, dropped by the thread itself
    // The handle is the owner's share; ThreadRecord* is recovered from it below.
    return reinterpret_cast<ThreadHandle>(forOwner.release());
}

void CloseThreadHandle(ThreadHandle thread)
{
    delete reinterpret_cast<SharedRecord*>(thread);
}

bool WaitForThread(ThreadHandle thread, std::uint32_t timeoutMs)
{
    if (thread == nullptr) {
        return true;
    }
    ThreadRecord& record = *reinterpret_cast<SharedRecord*>(thread)->record;
    std::unique_lock<std::mutex> guard(record.lock);
    return record.endedSignal.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return record.ended; });
}

void SleepMs(std::uint32_t milliseconds)
{
    timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

std::uint32_t CurrentThreadId()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::uint32_t LastErrorCode()
{
    return static_cast<std::uint32_t>(errno);
}

void SetLastErrorCode(std::uint32_t code)
{
    errno = static_cast<int>(code);
}

std::uint64_t MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace corvel::platform
