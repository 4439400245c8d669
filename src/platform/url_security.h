// The zone check made before credentials would be offered to a server that
// asks for authentication: on Windows the URL security manager's policy for
// the use of credentials; on Linux there is no zone policy and the answer is
// always "not allowed".
#pragma once

namespace corvel::platform {

// True only when the policy for the URL allows a silent logon (the manager is
// asked without user interface). Initialises COM on the calling thread for the
// question and uninitialises it again only if it initialised it.
bool SilentLogonAllowed(const char* url);

}  // namespace corvel::platform
