#include "registration/registration_listener.h"

#include "platform/threads.h"

std::atomic<std::int32_t> listenerRunning{1};

std::uint32_t RegistrationListener(void* /*argument*/)
{
    while (listenerRunning.load() != 0) {
        corvel::platform::SleepMs(500);
    }
    return 0;
}
