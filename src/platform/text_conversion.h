// UTF-16 text (a SOAP value) turned into the narrow text of the service side,
// for trace lines: the ANSI code page on Windows, UTF-8 on Linux.
#pragma once

#include <cstddef>
#include <string>

#include "platform/compat.h"

namespace corvel::platform {

// Characters the narrow encoding cannot hold (on Linux: unpaired surrogates)
// become '?'. A null text gives an empty result.
std::string WideToNarrow(const OLECHAR* text, std::size_t length);

}  // namespace corvel::platform
