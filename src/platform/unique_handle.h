// UniqueHandle: the owner of one handle, descriptor or C object, closed through
// its traits when the owner goes. The core holds the platform's handles (SCM
// handles, registry keys, event sources, threads) in one; the backends hold
// their native ones (descriptors, sqlite3 objects, Windows handles) the same way.
#pragma once

#include <utility>

namespace corvel::platform {

// Traits: `using Handle = ...;`, `static Handle Invalid() noexcept;` and
// `static void Close(Handle) noexcept;` (never called with Invalid()).
template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }
    // The address to receive a new handle (the old one is closed first).
    Handle* out() noexcept
    {
        reset();
        return &handle_;
    }
    // Hands the handle to the caller, who then closes it.
    Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Handle handle = Traits::Invalid()) noexcept
    {
        Handle old = std::exchange(handle_, handle);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Traits from a close function and the value that means "none"; the close
// function's result, if any, is dropped (callers that must see it close
// through release()).
template <typename T, auto CloseFunction, T InvalidValue>
struct CloseFunctionTraits {
    using Handle = T;
    static constexpr T Invalid() noexcept { return InvalidValue; }
    static void Close(T handle) noexcept { static_cast<void>(CloseFunction(handle)); }
};

// UniqueResource<sqlite3_stmt*, &sqlite3_finalize>, UniqueResource<int, &::close, -1>.
template <typename T, auto CloseFunction, T InvalidValue = T{}>
using UniqueResource = UniqueHandle<CloseFunctionTraits<T, CloseFunction, InvalidValue>>;

}  // namespace corvel::platform
