// The session scanner: the worker thread that lists the terminal server's
// sessions every 3000 ms and starts a probe for every connected one.
#pragma once

#include <atomic>
#include <cstdint>

// Keeps the scanner looping; set and cleared by the monitor service's Run.
extern std::atomic<std::int32_t> scannerRunning;

// Thread procedure; the argument is not used. Exit code 0.
std::uint32_t SessionScanner(void* argument);
