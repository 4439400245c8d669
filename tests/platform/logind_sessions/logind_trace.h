// The debugger output written while a capture lives, as one text.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/debug_output.h"

namespace corvel::testing {

class LogindTrace {
public:
    LogindTrace() { platform::SetDebugOutputHook(&LogindTrace::Hook, this); }
    ~LogindTrace() { platform::SetDebugOutputHook(nullptr, nullptr); }
    LogindTrace(const LogindTrace&) = delete;
    LogindTrace& operator=(const LogindTrace&) = delete;

    std::string Text() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }
    bool Contains(std::string_view part) const { return Text().find(part) != std::string::npos; }

private:
    static void Hook(std::string_view text, void* context)
    {
        auto* self = static_cast<LogindTrace*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->text_.append(text);
    }

    mutable std::mutex lock_;
    std::string text_;
};

}  // namespace corvel::testing
