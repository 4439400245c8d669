// The default memory manager: the process heap.
#include "soap/memory_manager.h"

#include <cstdlib>

namespace corvel::soap {

void* CHeapMemoryManager::Allocate(std::size_t byteCount)
{
    return std::malloc(byteCount == 0 ? 1 : byteCount);
}

void* CHeapMemoryManager::Reallocate(void* block, std::size_t byteCount)
{
    return std::realloc(block, byteCount == 0 ? 1 : byteCount);
}

void CHeapMemoryManager::Free(void* block)
{
    std::free(block);
}

IMemoryManager* DefaultMemoryManager()
{
    static CHeapMemoryManager heap;
    return &heap;
}

}  // namespace corvel::soap
