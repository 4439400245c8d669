// Entry point of corvel-service: the switches -v, -i and -u, or the service.
#include "platform/debug_output.h"
#include "service/my_service.h"

int main(int argc, char** argv)
{
    int exitCode = 0;
    {
        CMyService service;
        if (!service.HandleCommandLine(argc, argv)) {
            service.RunDispatcher();
        } else {
            // A switch prints only its own lines on the terminal.
            corvel::platform::EndDebugOutputAfterSwitch();
        }
        exitCode = static_cast<int>(service.status.win32ExitCode);
    }
    return exitCode;
}
