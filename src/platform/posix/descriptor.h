// Owners of the Linux backend's descriptors and stdio streams: the registry,
// the session table, the service control and systemd files close through them.
#pragma once

#include <unistd.h>

#include <cstdio>

#include "platform/unique_handle.h"

namespace corvel::platform {

// A file descriptor; a close whose result matters goes through release().
using Descriptor = UniqueResource<int, &::close, -1>;
using FileStream = UniqueResource<std::FILE*, &::fclose>;

}  // namespace corvel::platform
