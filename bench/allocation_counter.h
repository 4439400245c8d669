// Counts every operator new of a benchmark program, so that a benchmark can
// report allocations per operation. Include it in exactly one file of a
// program: it replaces the global operator new and delete.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

inline std::atomic<long long> allocationCount{0};

void* operator new(std::size_t size)
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
