// The registry under HKEY_LOCAL_MACHINE: the few operations the service needs
// for its Parameters, Status, Winlogon and event-source keys. Results are
// Win32 error codes (0 = success). On Linux the registry is a directory tree
// under <state root>/registry/HKEY_LOCAL_MACHINE: a key is a directory, a
// value a file (a DWORD as decimal text and a line feed, a string as its text).
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace corvel::platform {

struct RegistryKeyRecord;
using RegistryKey = RegistryKeyRecord*;

inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;

// RegOpenKeyExA: the key must exist.
long OpenRegistryKey(const char* subKey, std::uint32_t access, RegistryKey* key);
// RegCreateKeyExA with an empty class, options 0 and default security:
// creates the key (and its parents) or opens it.
long CreateRegistryKey(const char* subKey, std::uint32_t access, RegistryKey* key);
// RegQueryValueExA into a 4-byte buffer; the value's type is not examined.
long QueryRegistryDword(RegistryKey key, const char* name, std::int32_t* value);
long SetRegistryDword(RegistryKey key, const char* name, std::uint32_t value);
// REG_EXPAND_SZ, stored with its terminating NUL.
long SetRegistryExpandString(RegistryKey key, const char* name, const std::string& value);
long FlushRegistryKey(RegistryKey key);
void CloseRegistryKey(RegistryKey key);
using RegistryKeyOwner = UniqueResource<RegistryKey, &CloseRegistryKey>;

}  // namespace corvel::platform
