// The registry on Windows: HKEY_LOCAL_MACHINE through the ANSI calls.
//
// Every key is opened in the system's own (64-bit) view. The product is a
// 32-bit program, and on 64-bit Windows its plain opens of HKLM\SOFTWARE land
// in the 32-bit copy (Wow6432Node), where Winlogon never reads
// AllowMultipleTSSessions. The SYSTEM keys (service, Parameters, Status,
// event source) are the same in both views; on 32-bit Windows the flag is
// ignored.
#include "platform/registry.h"

#include <windows.h>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

namespace {

static_assert(kKeyQueryValue == KEY_QUERY_VALUE && kKeyWrite == KEY_WRITE && kKeyAllAccess == KEY_ALL_ACCESS);
static_assert(kErrorSuccess == ERROR_SUCCESS && kErrorFileNotFound == ERROR_FILE_NOT_FOUND);

REGSAM SystemView(std::uint32_t access)
{
    return static_cast<REGSAM>(access) | KEY_WOW64_64KEY;
}

}  // namespace

struct RegistryKeyRecord {
    RegistryHandle key;
};

long OpenRegistryKey(const char* subKey, std::uint32_t access, RegistryKey* key)
{
    RegistryHandle opened;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, SystemView(access), opened.out());
    if (result == ERROR_SUCCESS) {
        *key = new RegistryKeyRecord{std::move(opened)};
    }
    return result;
}

long CreateRegistryKey(const char* subKey, std::uint32_t access, RegistryKey* key)
{
    RegistryHandle created;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                                  SystemView(access), nullptr, created.out(), &disposition);
    if (result == ERROR_SUCCESS) {
        *key = new RegistryKeyRecord{std::move(created)};
    }
    return result;
}

long QueryRegistryDword(RegistryKey key, const char* name, std::int32_t* value)
{
    DWORD size = sizeof *value;
    return RegQueryValueExA(key->key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
}

long SetRegistryDword(RegistryKey key, const char* name, std::uint32_t value)
{
    DWORD data = value;
    return RegSetValueExA(key->key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

long SetRegistryExpandString(RegistryKey key, const char* name, const std::string& value)
{
    return RegSetValueExA(key->key.get(), name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

long FlushRegistryKey(RegistryKey key)
{
    return RegFlushKey(key->key.get());
}

void CloseRegistryKey(RegistryKey key)
{
    delete key;
}

}  // namespace corvel::platform
