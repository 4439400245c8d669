// The zone check through the URL security manager: may credentials be used
// silently for this URL?
#include "platform/url_security.h"

#include <string>

#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include "platform/com_ref.h"

namespace corvel::platform {

namespace {

// CLSID_InternetSecurityManager and IID_IInternetSecurityManager.
constexpr CLSID kSecurityManagerClass = {0x7B8A2D94, 0x0AC9, 0x11D1, {0x89, 0x6C, 0x00, 0xC0, 0x4F, 0xB6, 0xBF, 0xC4}};
constexpr IID kSecurityManagerInterface = {0x79EAC9EE, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
constexpr DWORD kUseCredentialsAction = 0x1A00;  // URLACTION_CREDENTIALS_USE
constexpr DWORD kNoUserInterface = 1;            // PUAF_NOUI
constexpr DWORD kSilentLogonAllowed = 0;         // URLPOLICY_CREDENTIALS_SILENT_LOGON_OK

}  // namespace

bool SilentLogonAllowed(const char* url)
{
    const HRESULT start = CoInitialize(nullptr);
    if (FAILED(start) && start != RPC_E_CHANGED_MODE) {
        return false;
    }
    bool allowed = false;
    ComRef<IInternetSecurityManager> manager;
    if (SUCCEEDED(CoCreateInstance(kSecurityManagerClass, nullptr, CLSCTX_INPROC_SERVER, kSecurityManagerInterface,
                                   manager.outVoid()))) {
        const int length = MultiByteToWideChar(CP_ACP, 0, url, -1, nullptr, 0);
        std::wstring wideUrl(length > 0 ? static_cast<std::size_t>(length) : 1u, L'\0');
        if (length > 0 && MultiByteToWideChar(CP_ACP, 0, url, -1, wideUrl.data(), length) == length) {
            DWORD policy = 0xFFFF;
            const HRESULT asked =
                manager->ProcessUrlAction(wideUrl.c_str(), kUseCredentialsAction, reinterpret_cast<BYTE*>(&policy),
                                          sizeof policy, nullptr, 0, kNoUserInterface, 0);
            allowed = SUCCEEDED(asked) && policy == kSilentLogonAllowed;
        }
        manager.reset();  // before COM is uninitialised
    }
    if (SUCCEEDED(start)) {
        CoUninitialize();
    }
    return allowed;
}

}  // namespace corvel::platform
