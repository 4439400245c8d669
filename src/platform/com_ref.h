// ComRef: the owner of one counted COM interface reference. The SOAP engine,
// the SAX readers and the Windows backends hold every interface pointer they
// own in one, so that each exit path drops its reference.
#pragma once

#include <utility>

#include "platform/compat.h"

namespace corvel::platform {

// A counted interface reference: AddRef on copy in, Release when dropped.
template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef& other) : pointer_(other.pointer_)
    {
        if (pointer_ != nullptr) {
            pointer_->AddRef();
        }
    }
    ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComRef& operator=(const ComRef& other)
    {
        if (other.pointer_ != nullptr) {
            other.pointer_->AddRef();
        }
        reset();
        pointer_ = other.pointer_;
        return *this;
    }
    ComRef& operator=(ComRef&& other) noexcept
    {
        Interface* pointer = std::exchange(other.pointer_, nullptr);
        reset();
        pointer_ = pointer;
        return *this;
    }
    ~ComRef() { reset(); }

    // Takes over a reference the caller already owns (no AddRef).
    static ComRef Adopt(Interface* pointer)
    {
        ComRef owner;
        owner.pointer_ = pointer;
        return owner;
    }

    Interface* get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // The address to receive a new reference (the old one is dropped first).
    Interface** out()
    {
        reset();
        return &pointer_;
    }
    // The address to receive a new reference as void** (QueryInterface).
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    // Takes one more reference to pointer.
    void assign(Interface* pointer)
    {
        if (pointer != nullptr) {
            pointer->AddRef();
        }
        reset();
        pointer_ = pointer;
    }
    // Hands the reference to the caller, who then owns it.
    Interface* release() { return std::exchange(pointer_, nullptr); }
    void reset()
    {
        if (pointer_ != nullptr) {
            Interface* old = pointer_;
            pointer_ = nullptr;
            old->Release();
        }
    }

private:
    Interface* pointer_ = nullptr;
};

}  // namespace corvel::platform
