#include "platform/com.h"

namespace corvel::platform {

void InitializeComForThread() {}
void UninitializeComForThread() {}

}  // namespace corvel::platform
