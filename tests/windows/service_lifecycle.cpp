// Drives corvel-service.exe through its whole life under a real service
// control manager (Wine's, in CI): install with -i, start, user controls 128,
// 129 and 200, interrogate, stop, remove with -u.
//
// Stopping the service requests a forced restart of the machine. Under Wine
// that ends Wine's own session, which may take this driver with it; so the
// work is split in two phases that the calling script runs one after the
// other, and every observation is printed (and flushed) as it is made:
//   service_lifecycle run <corvel-service.exe>     install .. stop
//   service_lifecycle finish <corvel-service.exe>  stopped state, -u, removal
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kServiceName[] = "Corvel Service";
const char kStatusKey[] = "SYSTEM\\CurrentControlSet\\Services\\Corvel Service\\Status";
constexpr DWORD kSaveStatusControl = 128;

int failures = 0;

void Say(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::printf("\n");
    std::fflush(stdout);
}

void Check(bool condition, const char* what)
{
    Say("%s: %s", condition ? "ok" : "FAILED", what);
    if (!condition) {
        ++failures;
    }
}

// Runs the executable with one switch and returns what it printed.
std::string RunSwitch(const std::string& executable, const char* option)
{
    std::string command = "\"" + executable + "\" " + option;
    std::string output;
    FILE* pipe = _popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        output += line;
    }
    _pclose(pipe);
    Say("%s %s printed: %s", executable.c_str(), option, output.c_str());
    return output;
}

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    default: return "other";
    }
}

DWORD WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs)
{
    SERVICE_STATUS status{};
    for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
        if (!QueryServiceStatus(service, &status)) {
            return 0;
        }
        if (status.dwCurrentState == wanted) {
            break;
        }
        Sleep(100);
    }
    Say("state: %s", StateName(status.dwCurrentState));
    return status.dwCurrentState;
}

bool ReadCurrent(DWORD* value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = sizeof *value;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, "Current", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD;
}

int RunPhase(const std::string& executable)
{
    Check(Contains(RunSwitch(executable, "-v"), "Corvel Service Version 1.0"), "-v prints the version");
    Check(Contains(RunSwitch(executable, "-i"), "Corvel Service installed"), "-i installs");
    Check(Contains(RunSwitch(executable, "-v"), "The service is currently installed"), "-v sees it installed");

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
    Check(service != nullptr, "the SCM holds the service");
    if (service == nullptr) {
        return 1;
    }

    Check(StartServiceA(service, 0, nullptr) != 0, "StartService");
    Check(WaitForState(service, SERVICE_RUNNING, 30000) == SERVICE_RUNNING, "the service reports running");

    SERVICE_STATUS status{};
    Check(ControlService(service, kSaveStatusControl, &status) != 0, "user control 128 accepted");
    DWORD current = 0xFFFFFFFF;
    bool saved = false;
    for (int attempt = 0; attempt < 50 && !saved; ++attempt) {
        saved = ReadCurrent(&current);
        if (!saved) {
            Sleep(100);
        }
    }
    Check(saved, "control 128 writes Status\\Current");
    Say("Status\\Current = %lu", static_cast<unsigned long>(current));

    // Controls the service does not handle are still answered with its status.
    Check(ControlService(service, 129, &status) != 0 && status.dwCurrentState == SERVICE_RUNNING,
          "user control 129 answered, still running");
    Check(ControlService(service, 200, &status) != 0 && status.dwCurrentState == SERVICE_RUNNING,
          "user control 200 answered, still running");
    Check(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status) != 0 &&
              status.dwCurrentState == SERVICE_RUNNING,
          "interrogate answers running");

    Say("stop sent");
    BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    Check(stopped != 0 && (status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED),
          "stop answered with stop pending");
    Say("stop answered: %s", StateName(status.dwCurrentState));
    Check(WaitForState(service, SERVICE_STOPPED, 30000) == SERVICE_STOPPED, "the service reports stopped");

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return failures == 0 ? 0 : 1;
}

int FinishPhase(const std::string& executable)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
    Check(service != nullptr, "the SCM still holds the service");
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        BOOL queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                            sizeof status, &needed);
        Say("state after the restart: %s", StateName(status.dwCurrentState));
        if (queried && status.dwCurrentState != SERVICE_STOPPED) {
            // The service starts automatically, so the new session brought it
            // back, as a restarted machine would. End its process without a
            // stop control, which would request yet another restart.
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
            Check(process != nullptr && TerminateProcess(process, 0) != 0 &&
                      WaitForSingleObject(process, 10000) == WAIT_OBJECT_0,
                  "the automatically restarted service is ended");
            if (process != nullptr) {
                CloseHandle(process);
            }
        } else {
            Check(queried && status.dwCurrentState == SERVICE_STOPPED, "the service is stopped");
        }
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    Check(Contains(RunSwitch(executable, "-u"), "Corvel Service removed."), "-u removes");
    Check(Contains(RunSwitch(executable, "-v"), "The service is not installed"), "-v sees it removed");
    Check(Contains(RunSwitch(executable, "-u"), "Corvel Service is not installed"), "a second -u finds nothing");
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "run") != 0 && std::strcmp(argv[1], "finish") != 0)) {
        std::fprintf(stderr, "usage: service_lifecycle run|finish <corvel-service.exe>\n");
        return 2;
    }
    int result = std::strcmp(argv[1], "run") == 0 ? RunPhase(argv[2]) : FinishPhase(argv[2]);
    Say("%s phase %s", argv[1], result == 0 ? "passed" : "FAILED");
    return result;
}
