// Entry point of corvel-service: the switches -v, -i and -u, or the service.
#include "service/my_service.h"

int main(int argc, char** argv)
{
    int exitCode = 0;
    {
        CMyService service;
        if (!service.HandleCommandLine(argc, argv)) {
            service.RunDispatcher();
        }
        exitCode = static_cast<int>(service.status.win32ExitCode);
    }
    return exitCode;
}
