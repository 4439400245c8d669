// The allocator through which the SOAP engine gets memory for parsed binary
// values, array blocks and growing arrays. A client may supply its own; the
// default is the process's general-purpose heap.
#pragma once

#include <cstddef>

namespace corvel::soap {

class IMemoryManager {
public:
    // Null when the block cannot be allocated. A request for 0 bytes still
    // yields a block (of at least one byte), so null always means failure.
    virtual void* Allocate(std::size_t byteCount) = 0;
    // Keeps the old contents up to the smaller size; null on failure, and the
    // old block is then still valid. A null block behaves as Allocate.
    virtual void* Reallocate(void* block, std::size_t byteCount) = 0;
    // A null block is ignored.
    virtual void Free(void* block) = 0;

protected:
    ~IMemoryManager() = default;
};

// The process heap (malloc, realloc and free of the language runtime).
class CHeapMemoryManager final : public IMemoryManager {
public:
    void* Allocate(std::size_t byteCount) override;
    void* Reallocate(void* block, std::size_t byteCount) override;
    void Free(void* block) override;
};

// One shared instance; it holds no state, so every thread may use it.
IMemoryManager* DefaultMemoryManager();

}  // namespace corvel::soap
