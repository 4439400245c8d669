// The portable half of the debugger output: the test hook.
#include "platform/debug_output.h"

#include <atomic>
#include <mutex>

namespace corvel::platform {

void WriteDebugOutputNative(std::string_view text);

namespace {

// Probe threads trace until the process ends, static destruction included,
// and some builds' mutexes have a destructor: the lock is made once and
// never destroyed.
std::mutex& HookLock()
{
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

DebugOutputHook currentHook = nullptr;
void* currentContext = nullptr;
std::atomic<bool> hookSet{false};
std::atomic<bool> endedAfterSwitch{false};

}  // namespace

void SetDebugOutputHook(DebugOutputHook hook, void* context)
{
    std::lock_guard<std::mutex> guard(HookLock());
    currentHook = hook;
    currentContext = context;
    hookSet.store(hook != nullptr);
}

void WriteDebugOutput(std::string_view text)
{
    if (hookSet.load()) {
        std::lock_guard<std::mutex> guard(HookLock());
        if (currentHook != nullptr) {
            currentHook(text, currentContext);
        }
    }
    if (!endedAfterSwitch.load()) {
        WriteDebugOutputNative(text);
    }
}

void EndDebugOutputAfterSwitch()
{
#if !defined(_WIN32)
    endedAfterSwitch.store(true);
#endif
}

}  // namespace corvel::platform
