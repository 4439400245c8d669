// The service framework and the monitor service: control codes, the stop
// order, the counter and its saving, trace lines, switches and installation.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <csignal>
#include <pthread.h>
#endif

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "registration/registration_listener.h"
#include "service/my_service.h"
#include "trace/trace.h"
#include "service_fixture.h"
#include "platform/fake_systemctl.h"
#include "watchdog/probe_events.h"
#include "watchdog/session_scanner.h"

namespace {

using corvel::testing::ServiceObservation;
using namespace std::chrono_literals;

// A service with the framework's own virtual operations.
class BareService : public CNTService {
public:
    BareService() : CNTService("Bare Service") {}
    void Run() override {}
};

std::uint32_t IdleScanner(void*)
{
    while (scannerRunning.load() != 0) {
        corvel::platform::SleepMs(5);
    }
    return 0;
}

std::uint32_t IdleListener(void*)
{
    while (listenerRunning.load() != 0) {
        corvel::platform::SleepMs(5);
    }
    return 0;
}

// A CMyService whose workers do nothing and whose counter moves every 20 ms.
class QuickService : public CMyService {
public:
    QuickService()
    {
        counterPeriodMs = 20;
        scannerProcedure = IdleScanner;
        listenerProcedure = IdleListener;
    }
    void Run() override
    {
        runEntered.store(true);
        CMyService::Run();
    }
    std::atomic<bool> runEntered{false};
};

struct ControlCase {
    std::uint32_t code;
    const char* trace;           // a line the control must trace, or null
    std::uint32_t event;         // the event it must report, or 0
    std::int32_t runningAfter;
};

class ControlCodes : public ServiceObservation {};

TEST_F(ControlCodes, EachCodeTracesReportsAndAnswersWithTheStatus)
{
    const ControlCase cases[] = {
        {1, "CNTService::OnStop()", 108, 0},
        {2, "CNTService::OnPause()", 0, 1},
        {3, "CNTService::OnContinue()", 0, 1},
        {4, "CNTService::OnInterrogate()", 0, 1},
        {5, "CNTService::OnShutdown()", 0, 1},
        {0, nullptr, 106, 1},
        {6, nullptr, 106, 1},
        {127, nullptr, 106, 1},
        {128, "CNTService::OnUserControl(00000080H)", 106, 1},
        {129, "CNTService::OnUserControl(00000081H)", 106, 1},
    };
    for (const ControlCase& control : cases) {
        SCOPED_TRACE("control " + std::to_string(control.code));
        BareService service;
        service.running.store(1);
        service.status.currentState = corvel::platform::kServiceRunning;
        Clear();
        CNTService::Handler(control.code);

        EXPECT_TRUE(Traced("CNTService::Handler(" + std::to_string(control.code) + ")"));
        if (control.trace != nullptr) {
            EXPECT_TRUE(Traced(control.trace));
        }
        std::vector<corvel::testing::RecordedEvent> events = Events();
        if (control.event == 0) {
            EXPECT_TRUE(events.empty());
        } else {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].id, control.event);
            EXPECT_EQ(events[0].type, control.event == 106 ? corvel::platform::kEventError
                                                          : corvel::platform::kEventInformation);
        }
        EXPECT_EQ(service.running.load(), control.runningAfter);
        // Every control, an unsupported one too, ends with a status report of
        // the current state; a stop reports stop pending twice.
        std::vector<std::uint32_t> states = States();
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.back(), service.status.currentState);
        EXPECT_EQ(states.back(), control.code == 1 ? corvel::platform::kServiceStopPending
                                                   : corvel::platform::kServiceRunning);
        EXPECT_EQ(restarts, control.code == 1 ? 1 : 0);
    }
}

TEST_F(ControlCodes, MonitorServiceSavesOnlyOnControl128)
{
    CMyService service;
    service.state.store(42);
    CNTService::Handler(128);
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(Traced("Saving 'Current' as 42"));

    corvel::platform::RegistryKey key = nullptr;
    ASSERT_EQ(corvel::platform::OpenRegistryKey("SYSTEM\\CurrentControlSet\\Services\\Corvel Service\\Status",
                                                corvel::platform::kKeyQueryValue, &key),
              corvel::platform::kErrorSuccess);
    std::int32_t current = 0;
    EXPECT_EQ(corvel::platform::QueryRegistryDword(key, "Current", &current), corvel::platform::kErrorSuccess);
    corvel::platform::CloseRegistryKey(key);
    EXPECT_EQ(current, 42);

    Clear();
    CNTService::Handler(129);
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 106u);
    EXPECT_FALSE(Traced("Saving"));
    EXPECT_FALSE(Traced("OnUserControl"));
}

class Lifecycle : public ServiceObservation {};

TEST_F(Lifecycle, StopRequestsRestartBeforeClearingRunningAndReportsStoppedAfterRun)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows registers the control handler only inside the SCM's dispatcher; "
                    "the service lifecycle test under Wine's SCM covers this order";
#endif
    QuickService service;
    std::thread serviceThread([] { CNTService::ServiceMain(0, nullptr); });
    // `running` is set before the start; the stop is meant for a service that
    // has reported running and entered Run.
    auto reportedRunning = [&] {
        std::vector<std::uint32_t> reported = States();
        return std::find(reported.begin(), reported.end(), corvel::platform::kServiceRunning) != reported.end();
    };
    auto started = [&] {
        return reportedRunning() && service.runEntered.load() && scannerRunning.load() == 1 &&
               listenerRunning.load() == 1;
    };
    for (int wait = 0; wait < 500 && !started(); ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(reportedRunning());
    ASSERT_TRUE(service.runEntered.load());
    ASSERT_EQ(service.running.load(), 1);
    EXPECT_EQ(scannerRunning.load(), 1);
    EXPECT_EQ(listenerRunning.load(), 1);

    CNTService::Handler(1);
    serviceThread.join();

    std::vector<std::string> traces = Traces();
    auto position = [&](const std::string& part) {
        for (std::size_t index = 0; index < traces.size(); ++index) {
            if (traces[index].find(part) != std::string::npos) {
                return index;
            }
        }
        return traces.size();
    };
    EXPECT_LT(position("CNTService::OnStop()"), position("<restart requested>"));
    EXPECT_LT(position("<restart requested>"), position("Updating status"));
    EXPECT_LT(position("Updating status"), position("Leaving CNTService::ServiceMain()"));
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(runningAtRestart, 1) << "OnStop runs before running is cleared";

    // start pending, running, stop pending (twice), then stopped last.
    std::vector<std::uint32_t> states = States();
    ASSERT_GE(states.size(), 5u);
    EXPECT_EQ(states[0], corvel::platform::kServiceStartPending);
    EXPECT_EQ(states[1], corvel::platform::kServiceRunning);
    EXPECT_EQ(states.back(), corvel::platform::kServiceStopped);
    EXPECT_EQ(states[states.size() - 2], corvel::platform::kServiceStopPending);
    EXPECT_EQ(scannerRunning.load(), 0);
    EXPECT_EQ(listenerRunning.load(), 0);

    std::vector<corvel::testing::RecordedEvent> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, 105u);
    EXPECT_EQ(events[0].text, "The service was started.");
    EXPECT_EQ(events[1].id, 108u);
}

// A monitor service whose start is slow on purpose: OnInit hands a stop to
// the test (through sendStop) and then waits until the stop has cleared
// `running`, as a control that arrives while the service starts does.
class SlowStartService : public QuickService {
public:
    bool OnInit() override
    {
        sendStop();
        for (int wait = 0; wait < 500 && running.load() != 0; ++wait) {
            std::this_thread::sleep_for(10ms);
        }
        return QuickService::OnInit();
    }
    void Run() override
    {
        runCalled.store(true);
        QuickService::Run();
    }
    std::function<void()> sendStop;
    std::atomic<bool> runCalled{false};
};

// What a stop during the start must leave: the reports and events of an
// ordinary stop, never a running report, and Run not entered.
void ExpectStoppedWhileStarting(const std::vector<std::uint32_t>& states,
                                const std::vector<corvel::testing::RecordedEvent>& events, int restarts,
                                const SlowStartService& service)
{
    using namespace corvel::platform;
    EXPECT_EQ(states, (std::vector<std::uint32_t>{kServiceStartPending, kServiceStopPending, kServiceStopPending,
                                                  kServiceStopped}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 108u);
    EXPECT_EQ(restarts, 1);
    EXPECT_FALSE(service.runCalled.load());
    EXPECT_EQ(service.running.load(), 0);
    EXPECT_EQ(service.status.win32ExitCode, 0u);
}

TEST_F(Lifecycle, StopWhileStartingEndsTheServiceAsAnOrdinaryStop)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows registers the control handler only inside the SCM's dispatcher";
#endif
    SlowStartService service;
    // The control handler runs on its own thread, as the dispatcher's does.
    std::thread handlerThread;
    service.sendStop = [&] { handlerThread = std::thread([] { CNTService::Handler(1); }); };
    std::atomic<bool> ended{false};
    std::thread serviceThread([&] {
        CNTService::ServiceMain(0, nullptr);
        ended.store(true);
    });
    for (int wait = 0; wait < 500 && !ended.load(); ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(ended.load()) << "the service kept running after a stop during its start";
    service.running.store(0);  // lets a service that missed the stop end
    serviceThread.join();
    handlerThread.join();
    ExpectStoppedWhileStarting(States(), Events(), restarts, service);
    EXPECT_TRUE(Traced("CNTService::Initialize(): stopped while starting"));
    EXPECT_FALSE(Traced("Leaving CNTService::Initialize()"));
    EXPECT_TRUE(Traced("Leaving CNTService::ServiceMain()"));
}

// An exception that leaves Run ends the service thread as a stop that
// failed (stopped, exit code 1064), never the process.
TEST_F(Lifecycle, ExceptionInRunEndsTheServiceAsAFailedStop)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows registers the control handler only inside the SCM's dispatcher";
#endif
    class ThrowingService : public CNTService {
    public:
        ThrowingService() : CNTService("Throwing Service") {}
        void Run() override { throw std::runtime_error("worker fault"); }
    } service;
    std::thread serviceThread([] { CNTService::ServiceMain(0, nullptr); });
    serviceThread.join();
    const std::vector<std::uint32_t> states = States();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), corvel::platform::kServiceStopped);
    EXPECT_EQ(service.status.win32ExitCode, 1064u);
    EXPECT_EQ(service.running.load(), 0);
    EXPECT_TRUE(Traced("CNTService::ServiceMain(): ended by an exception: worker fault"));
    EXPECT_TRUE(Traced("Leaving CNTService::ServiceMain()"));
}

// The same start-up order on every platform (Windows included, where the
// handler is registered only under the SCM): Initialize itself, with the stop
// during OnInit or before Initialize begins.
TEST_F(Lifecycle, InitializeHonoursAStopThatCameDuringOrBeforeIt)
{
    using namespace corvel::platform;
    SlowStartService service;
    service.running.store(1);  // as ServiceMain sets it before the handler can run
    std::thread handlerThread;
    service.sendStop = [&] { handlerThread = std::thread([] { CNTService::Handler(1); }); };
    EXPECT_FALSE(service.Initialize());
    handlerThread.join();
    EXPECT_EQ(States(), (std::vector<std::uint32_t>{kServiceStartPending, kServiceStopPending, kServiceStopPending}));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 108u);
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(service.status.win32ExitCode, 0u);

    // A stop before Initialize has begun: no start pending over the stop
    // pending, and OnInit is not run.
    Clear();
    bool initRan = false;
    service.sendStop = [&] { initRan = true; };
    CNTService::Handler(1);
    EXPECT_FALSE(service.Initialize());
    EXPECT_FALSE(initRan);
    EXPECT_EQ(States(), (std::vector<std::uint32_t>{kServiceStopPending, kServiceStopPending}));
    EXPECT_FALSE(Traced("Leaving CNTService::Initialize()"));
}

#if !defined(_WIN32)
TEST_F(Lifecycle, SigtermWhileStartingEndsTheForegroundRun)
{
    SlowStartService service;
    pthread_t dispatcher = pthread_self();
    // Thread-directed, so that only the dispatcher thread takes it.
    service.sendStop = [dispatcher] { pthread_kill(dispatcher, SIGTERM); };
    std::atomic<bool> returned{false};
    std::thread rescue([&] {
        for (int wait = 0; wait < 1000 && !returned.load(); ++wait) {
            std::this_thread::sleep_for(10ms);
        }
        service.running.store(0);  // ends a run that missed the stop
    });
    EXPECT_TRUE(service.RunDispatcher());
    bool endedInTime = !service.runCalled.load();
    returned.store(true);
    rescue.join();
    EXPECT_TRUE(endedInTime);
    EXPECT_TRUE(Traced("CNTService::Handler(1)"));
    ExpectStoppedWhileStarting(States(), Events(), restarts, service);
}
#endif

TEST_F(Lifecycle, StopRequestsTheRestartOnlyWhenAskedAndNotWhileTheMachineGoesDown)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows restarts on every stop; a service is not stopped at the machine's shutdown there";
#endif
    struct Case {
        const char* restartOnStop;
        bool shuttingDown;
        int restarts;
        const char* trace;  // the line that says why there is no restart
    };
    const Case cases[] = {
        {"1", false, 1, nullptr},
        {"1", true, 0, "No machine restart requested: the machine is already shutting down"},
        {"", false, 0, "No machine restart requested (set CORVEL_RESTART_ON_STOP=1 to request one)"},
        {"0", true, 0, "No machine restart requested (set CORVEL_RESTART_ON_STOP=1 to request one)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("CORVEL_RESTART_ON_STOP=") + c.restartOnStop +
                     (c.shuttingDown ? ", shutting down" : ""));
        corvel::testing::SetEnvironment("CORVEL_RESTART_ON_STOP", c.restartOnStop);
        machineShuttingDown.store(c.shuttingDown);
        BareService service;
        Clear();
        service.OnStop();
        EXPECT_EQ(restarts, c.restarts);
        EXPECT_EQ(Traced("No machine restart requested"), c.trace != nullptr);
        if (c.trace != nullptr) {
            EXPECT_TRUE(Traced(c.trace));
        }
    }
}

TEST_F(Lifecycle, CounterStartsFromParametersAndStepsByIncrement)
{
    struct Case {
        bool withParameters;
        std::int32_t start;
        std::int32_t increment;
    };
    for (Case counter : {Case{false, 0, 1}, Case{true, 10, 5}}) {
        SCOPED_TRACE(counter.withParameters ? "Start 10, Inc 5" : "no Parameters key");
        if (counter.withParameters) {
            corvel::platform::RegistryKey key = nullptr;
            ASSERT_EQ(corvel::platform::CreateRegistryKey(
                          "SYSTEM\\CurrentControlSet\\Services\\Corvel Service\\Parameters",
                          corvel::platform::kKeyWrite, &key),
                      corvel::platform::kErrorSuccess);
            corvel::platform::SetRegistryDword(key, "Start", 10);
            corvel::platform::SetRegistryDword(key, "Inc", 5);
            corvel::platform::CloseRegistryKey(key);
        }
        QuickService service;
        EXPECT_TRUE(service.OnInit());
        EXPECT_EQ(service.startValue, counter.start);
        EXPECT_EQ(service.increment, counter.increment);
        EXPECT_EQ(service.state.load(), counter.start);

        service.running.store(1);
        std::thread runThread([&] { service.Run(); });
        std::this_thread::sleep_for(150ms);
        service.running.store(0);
        runThread.join();
        std::int32_t steps = (service.state.load() - counter.start) / counter.increment;
        EXPECT_GE(steps, 2);
        EXPECT_EQ((service.state.load() - counter.start) % counter.increment, 0);
    }
}

TEST_F(Lifecycle, RunSetsAllowMultipleTsSessionsWhenWinlogonExists)
{
    corvel::platform::RegistryKey key = nullptr;
    ASSERT_EQ(corvel::platform::CreateRegistryKey(kWinlogonKey, corvel::platform::kKeyAllAccess, &key),
              corvel::platform::kErrorSuccess);
    corvel::platform::SetRegistryDword(key, "AllowMultipleTSSessions", 0);
    QuickService service;
    service.running.store(0);
    service.Run();
    std::int32_t value = 0;
    EXPECT_EQ(corvel::platform::QueryRegistryDword(key, "AllowMultipleTSSessions", &value),
              corvel::platform::kErrorSuccess);
    EXPECT_EQ(value, 1);
    corvel::platform::CloseRegistryKey(key);
    EXPECT_FALSE(Traced("RegOpenKeyEx error code"));
}

class TraceLines : public ServiceObservation {};

TEST_F(TraceLines, ServiceNameIsCutTo63Characters)
{
    std::string longName(70, 'n');
    class NamedService : public CNTService {
    public:
        explicit NamedService(const char* name) : CNTService(name) {}
        void Run() override {}
    } service(longName.c_str());
    EXPECT_EQ(std::strlen(service.serviceName), 63u);
    service.Trace("hello");
    EXPECT_EQ(Traces().back().substr(0, 65), "[" + std::string(63, 'n') + "]");
}

class CommandLine : public ServiceObservation {
protected:
    std::string Run(CMyService& service, const char* option, bool* handled = nullptr)
    {
        char program[] = "corvel-service";
        std::string argument = option;
        char* argv[] = {program, argument.data(), nullptr};
        ::testing::internal::CaptureStdout();
        bool result = service.HandleCommandLine(2, argv);
        std::string output = ::testing::internal::GetCapturedStdout();
        if (handled != nullptr) {
            *handled = result;
        }
        return output;
    }
};

TEST_F(CommandLine, OnlyTheThreeSwitchesInAnyCaseAreHandled)
{
    CMyService service;
    char program[] = "corvel-service";
    char* noArguments[] = {program, nullptr};
    EXPECT_FALSE(service.HandleCommandLine(1, noArguments));
    struct Case {
        const char* option;
        bool handled;
    };
    for (Case option : {Case{"-v", true}, Case{"-V", true}, Case{"/i", false}, Case{"-x", false},
                        Case{"-vv", false}, Case{"", false}}) {
        bool handled = false;
        Run(service, option.option, &handled);
        EXPECT_EQ(handled, option.handled) << option.option;
    }
}

TEST_F(CommandLine, InstallVersionAndRemove)
{
    // The watchdog writes its events under the source that installation registers.
    EXPECT_STREQ(corvel::watchdog::kProbeEventSource, kServiceDisplayName);
    // Another program (a leftover of an earlier run under the same SCM) must not decide the outcome.
    CMyService service;
    if (service.CheckInstalled()) {
        Run(service, "-u");
    }
    EXPECT_EQ(Run(service, "-v"), "Corvel Service Version 1.0\nThe service is not installed\n");
    EXPECT_EQ(Run(service, "-u"), "Corvel Service is not installed\n");
    Clear();
    EXPECT_EQ(Run(service, "-I"), "Corvel Service installed\n");
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 100u);
    EXPECT_EQ(Events()[0].text, "The Corvel Service service was installed.");
    EXPECT_EQ(Run(service, "-i"), "Corvel Service is already installed\n");
    EXPECT_EQ(Run(service, "-v"), "Corvel Service Version 1.0\nThe service is currently installed\n");
#if !defined(_WIN32)
    std::ifstream unit(root / "units" / "corvel-service.service");
    std::string content((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "[Unit]\nDescription=Corvel Service\nAfter=network.target\n\n"
                       "[Service]\nType=notify\nExecStart=\"" + corvel::platform::ModuleFileName() + "\"\n"
                       "Environment=\"CORVEL_ROOT=" + root.string() + "\"\n"
                       "Environment=CORVEL_RESTART_ON_STOP=1\nKillMode=process\n"
                       "Restart=on-failure\nRestartSec=60\nLimitNOFILE=65536\n\n"
                       "[Install]\nWantedBy=multi-user.target\n");
#endif
    Clear();
    std::string removed = Run(service, "-U");
    EXPECT_EQ(removed.rfind("Corvel Service removed. (You must delete the file (", 0), 0u) << removed;
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].id, 101u);
    EXPECT_EQ(Run(service, "-v"), "Corvel Service Version 1.0\nThe service is not installed\n");
}

#if !defined(_WIN32)
// In the default unit directory, with systemd running the machine, -i also
// reloads systemd and enables the unit and -u disables, removes and reloads;
// a systemctl step that fails fails the switch and leaves no unit behind. A
// stand-in systemctl records the calls.
TEST_F(CommandLine, SystemdIsToldWhenItRunsTheMachine)
{
    // A state root whose name systemd would otherwise read as quoting,
    // specifiers and escapes.
    std::filesystem::path stateRoot = root / "state root %h \"quoted\" back\\slash $HOME";
    std::filesystem::create_directories(stateRoot);
    corvel::testing::SetEnvironment("CORVEL_ROOT", stateRoot.string());
    corvel::testing::SetEnvironment("CORVEL_UNIT_DIR", "");
    CMyService service;
    {
        corvel::testing::FakeSystemctl systemctl(root / "systemd", true);
        std::filesystem::path unitFile = systemctl.UnitDirectory() / "corvel-service.service";
        EXPECT_EQ(Run(service, "-i"), "Corvel Service installed\n");
        EXPECT_EQ(systemctl.Calls(),
                  (std::vector<std::string>{"daemon-reload", "enable corvel-service.service"}));
        std::ifstream unit(unitFile);
        std::string content((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>());
        EXPECT_NE(content.find("\nEnvironment=\"CORVEL_ROOT=" + root.string() +
                               "/state root %%h \\\"quoted\\\" back\\\\slash $HOME\"\n"),
                  std::string::npos)
            << content;

        systemctl.ClearCalls();
        std::string removed = Run(service, "-u");
        EXPECT_EQ(removed.rfind("Corvel Service removed.", 0), 0u) << removed;
        EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{"disable corvel-service.service", "daemon-reload"}));
        EXPECT_FALSE(std::filesystem::exists(unitFile));

        systemctl.ClearCalls();
        systemctl.Fail("enable");
        EXPECT_EQ(Run(service, "-i"), "Corvel Service failed to install. Error 3\n");
        EXPECT_FALSE(std::filesystem::exists(unitFile)) << "a unit that is not enabled is not left behind";
        EXPECT_EQ(systemctl.Calls(),
                  (std::vector<std::string>{"daemon-reload", "enable corvel-service.service", "daemon-reload"}));
    }
    {
        // Without systemd only the file is written and removed.
        std::filesystem::remove_all(root / "systemd");
        corvel::testing::FakeSystemctl systemctl(root / "systemd", false);
        EXPECT_EQ(Run(service, "-i"), "Corvel Service installed\n");
        EXPECT_TRUE(std::filesystem::exists(systemctl.UnitDirectory() / "corvel-service.service"));
        EXPECT_EQ(Run(service, "-u").rfind("Corvel Service removed.", 0), 0u);
        EXPECT_FALSE(std::filesystem::exists(systemctl.UnitDirectory() / "corvel-service.service"));
        EXPECT_TRUE(systemctl.Calls().empty());
    }
}

// The session source set at install time is the installed service's; unset,
// the unit names none and the service reads the session table.
TEST_F(CommandLine, TheSessionSourceGivenAtInstallTimeIsKept)
{
    struct Case {
        const char* source;
        const char* line;  // null: no line names the source
    };
    for (Case c : {Case{"logind", "\nEnvironment=\"CORVEL_SESSION_SOURCE=logind\"\n"}, Case{"", nullptr}}) {
        corvel::testing::SetEnvironment("CORVEL_SESSION_SOURCE", c.source);
        CMyService service;
        EXPECT_EQ(Run(service, "-i"), "Corvel Service installed\n");
        std::ifstream unit(root / "units" / "corvel-service.service");
        std::string content((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>());
        if (c.line != nullptr) {
            EXPECT_NE(content.find(c.line), std::string::npos) << content;
        } else {
            EXPECT_EQ(content.find("CORVEL_SESSION_SOURCE"), std::string::npos) << content;
        }
        EXPECT_EQ(Run(service, "-u").rfind("Corvel Service removed.", 0), 0u);
    }
    ::unsetenv("CORVEL_SESSION_SOURCE");
}
#endif

}  // namespace
