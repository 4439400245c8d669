// The command line the service control manager starts the service with, the
// same on both backends (the Linux one reads the program back from it).
#include "platform/service_control.h"

namespace corvel::platform {

std::string ServiceCommandLine(const std::string& programPath)
{
    return programPath.find(' ') == std::string::npos ? programPath : "\"" + programPath + "\"";
}

}  // namespace corvel::platform
