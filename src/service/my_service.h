// CMyService: the program's own service. At every start it allows several
// terminal-services sessions per user, starts the session scanner and the
// registration listener, and keeps a counter that user control 128 saves to
// the registry; at stop it tells the two workers to end.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/threads.h"
#include "service/cntservice.h"

inline constexpr char kServiceDisplayName[] = "Corvel Service";

class CMyService : public CNTService {
public:
    CMyService();

    void Run() override;
    bool OnInit() override;
    bool OnUserControl(std::uint32_t code) override;
    void SaveStatus();

    std::int32_t startValue = 0;
    std::int32_t increment = 1;
    std::atomic<std::int32_t> state{0};

    // Seams for tests: the counter's period and the two worker procedures.
    std::uint32_t counterPeriodMs = 5000;
    corvel::platform::ThreadProcedure scannerProcedure;
    corvel::platform::ThreadProcedure listenerProcedure;
};

// The service's registry key, its Parameters and Status subkeys, and Winlogon.
inline constexpr char kServiceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
