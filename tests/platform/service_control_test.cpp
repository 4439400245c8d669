// The control dispatcher. On Linux it runs the service thread in the
// foreground and turns signals into control codes on the calling thread; on
// Windows, outside the service control manager, it fails at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/service_control.h"

#include <string>

#if !defined(_WIN32)
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/state_root.h"
#include <pthread.h>
#include <thread>
#include <vector>
#endif

namespace {

// The SCM starts the command line's first space-separated word it can find as
// a program unless the path is quoted.
TEST(ServiceCommandLine, APathWithASpaceIsQuoted)
{
    struct Case {
        const char* path;
        const char* commandLine;
    };
    const Case cases[] = {
        {"C:\\corvel\\corvel-service.exe", "C:\\corvel\\corvel-service.exe"},
        {"C:\\Program Files (x86)\\Corvel\\corvel-service.exe",
         "\"C:\\Program Files (x86)\\Corvel\\corvel-service.exe\""},
        {"/opt/corvel service/corvel-service", "\"/opt/corvel service/corvel-service\""},
        {"", ""},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(corvel::platform::ServiceCommandLine(test.path), test.commandLine) << test.path;
    }
}

#if !defined(_WIN32)

using namespace std::chrono_literals;

// The Linux SCM reads the command line as the Windows one does: a quoted
// program is run by its whole path; unquoted, the program ends at the first
// space and the rest become arguments (the fault a quoted path avoids).
TEST(ServiceInstallation, TheUnitRunsTheProgramOfTheCommandLine)
{
    corvel::testing::TemporaryStateRoot stateRoot("corvel-unit-test");
    const std::filesystem::path units = stateRoot.path() / "units";
    std::filesystem::create_directories(units);
    ::setenv("CORVEL_UNIT_DIR", units.c_str(), 1);
    struct Case {
        const char* commandLine;
        const char* execStart;
    };
    const Case cases[] = {
        {"/opt/corvel/corvel-service", "ExecStart=\"/opt/corvel/corvel-service\"\n"},
        {"\"/opt/corvel service/corvel-service\"", "ExecStart=\"/opt/corvel service/corvel-service\"\n"},
        {"/opt/corvel service/corvel-service", "ExecStart=\"/opt/corvel\" \"service/corvel-service\"\n"},
        {"\"/opt/100% $HOME/corvel-service\"", "ExecStart=\"/opt/100%% $$HOME/corvel-service\"\n"},
    };
    for (const Case& test : cases) {
        corvel::platform::ScmOwner manager(corvel::platform::OpenServiceManager(corvel::platform::kScManagerAllAccess));
        ASSERT_TRUE(manager);
        corvel::platform::ScmOwner service(
            corvel::platform::CreateOwnProcessService(manager.get(), "Corvel Service", test.commandLine));
        ASSERT_TRUE(service) << test.commandLine;
        std::ifstream file(units / "corvel-service.service");
        const std::string unit((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_NE(unit.find(std::string("\n") + test.execStart), std::string::npos) << unit;
        EXPECT_TRUE(corvel::platform::DeleteInstalledService(service.get()));
    }
    ::unsetenv("CORVEL_UNIT_DIR");
}

pthread_t dispatcherThread;
std::atomic<int> deliveredCount{0};
std::uint32_t delivered[4];

void RecordControl(std::uint32_t code)
{
    int index = deliveredCount.load();
    if (index < 4) {
        delivered[index] = code;
    }
    deliveredCount.store(index + 1);
}

// A service whose start-up is slow: a stop and an interrogate arrive before
// its handler is registered, and must reach the handler once it is.
void SlowStartingService(std::uint32_t, char**)
{
    // Thread-directed, so only the dispatcher thread (which blocks them) can take them.
    pthread_kill(dispatcherThread, SIGHUP);
    pthread_kill(dispatcherThread, SIGTERM);
    std::this_thread::sleep_for(300ms);
    corvel::platform::RegisterControlHandler("Slow Service", RecordControl);
    for (int wait = 0; wait < 300 && deliveredCount.load() < 2; ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    // A control after the service has ended must not kill the process.
    pthread_kill(dispatcherThread, SIGUSR2);
}

TEST(ControlDispatcher, ControlsBeforeTheHandlerIsRegisteredAreHeldNotLost)
{
    dispatcherThread = pthread_self();
    deliveredCount.store(0);
    EXPECT_TRUE(corvel::platform::RunControlDispatcher("Slow Service", SlowStartingService));
    ASSERT_GE(deliveredCount.load(), 2);
    EXPECT_EQ(delivered[0], 4u);  // SIGHUP: interrogate, in arrival order
    EXPECT_EQ(delivered[1], 1u);  // SIGTERM: stop
}

#else

void UnusedServiceMain(std::uint32_t, char**) {}

TEST(ControlDispatcher, OutsideTheServiceControlManagerFailsAtOnce)
{
    // Windows fails at once; Wine first waits about 10 s for the control pipe.
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(corvel::platform::RunControlDispatcher("Corvel Test Service", UnusedServiceMain));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

#endif

}  // namespace
