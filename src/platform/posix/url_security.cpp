// Linux has no URL security zones: credentials are never offered silently.
#include "platform/url_security.h"

namespace corvel::platform {

bool SilentLogonAllowed(const char* url)
{
    return false;
}

}  // namespace corvel::platform
