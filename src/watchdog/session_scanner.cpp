#include "watchdog/session_scanner.h"

#include "platform/threads.h"

std::atomic<std::int32_t> scannerRunning{1};

namespace {
constexpr std::uint32_t kScanPeriodMs = 3000;
}

std::uint32_t SessionScanner(void* /*argument*/)
{
    while (scannerRunning.load() != 0) {
        corvel::platform::SleepMs(kScanPeriodMs);
    }
    return 0;
}
