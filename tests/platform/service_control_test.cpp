// The control dispatcher. On Linux it runs the service thread in the
// foreground and turns signals into control codes on the calling thread; on
// Windows, outside the service control manager, it fails at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/service_control.h"

#if !defined(_WIN32)
#include <csignal>
#include <pthread.h>
#include <thread>
#include <vector>
#endif

namespace {

#if !defined(_WIN32)

using namespace std::chrono_literals;

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
