// Drives corvel-service.exe through its whole life under a real service
// control manager (Wine's, in CI), over the test stand-ins for terminal
// services (wtsapi32.dll beside the executable) and ADO (ado_standin.dll,
// registered in the prefix):
//   install with -i; the event source and the Parameters values;
//   a start with a database that cannot be opened: the listener ends with its
//   trace and never holds its port, while the watchdog keeps the live
//   terminal's session, logs off the dead and the silent ones and never
//   probes session 0, the console or sessions that are not connected;
//   the process ended, a start with a good database: announcements with the
//   pass phrase from two sources make exactly two rows, a wrong one none
//   (the calling script sends them when the driver says "announce");
//   user controls 128, 129 and 200, interrogate, stop; remove with -u.
// Trace lines and events are read from Wine's debug output, which the
// calling script sends to a file (OutputDebugStringA on the debugstr
// channel, ReportEventA as an advapi fixme line).
//
// Stopping the service requests a forced restart of the machine. Under Wine
// that ends Wine's own session, which may take this driver with it; so the
// work is split in two phases that the calling script runs one after the
// other, and every observation is printed (and flushed) as it is made:
//   service_lifecycle run <corvel-service.exe> <trace file>     install .. stop
//   service_lifecycle finish <corvel-service.exe> <trace file>  stopped state, -u, removal
// The Windows Installer package is driven the same way, around the calling
// script's msiexec runs:
//   service_lifecycle package <installed corvel-service.exe> <trace file> <package>
//       the registration the package made, a start over the stand-ins, the
//       failure actions the service set itself, the process ended (no stop),
//       then msiexec /x in this same Wine session: a new session would start
//       the automatic service again, and a running service's registration and
//       file are removed only at the next restart
//   service_lifecycle absent <corvel-service.exe>
//       no service, no event source and no program file
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/terminals.h"
#include "windows/ado/terminal_file.h"

namespace {

using corvel::testing::HttpAnswer;
using corvel::testing::StubBehaviour;
using corvel::testing::StubTerminals;
using corvel::testing::TestResponseEnvelope;

const char kServiceName[] = "Corvel Service";
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Corvel Service";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Corvel Service\\Parameters";
const char kStatusKey[] = "SYSTEM\\CurrentControlSet\\Services\\Corvel Service\\Status";
const char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvel Service";
const char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kPassPhrase[] = "qm47tv47";
constexpr DWORD kSaveStatusControl = 128;
constexpr DWORD kStartValue = 10;
constexpr DWORD kIncrement = 5;
constexpr std::uint16_t kTerminalPort = 80;
constexpr std::uint16_t kRegistrationPort = 8000;

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

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (condition()) {
            return true;
        }
        Sleep(100);
    }
    return condition();
}

// Runs the executable with one switch and returns what it printed.
std::string RunSwitch(const std::string& executable, const char* option)
{
    // cmd /c drops the first and the last quote of a command line with more
    // than two of them or a special character such as the parentheses of
    // "Program Files (x86)": the outer pair is there to be dropped.
    std::string command = "\"\"" + executable + "\" " + option + "\"";
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

std::string Directory(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteWhole(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What the processes of the prefix wrote to Wine's debug output.
class DebugOutput {
public:
    explicit DebugOutput(std::string path) : path_(std::move(path)) {}

    struct Line {
        std::string name;     // the trace line's name, empty for a text without the prefix
        std::string thread;   // its thread id text
        std::string message;  // without the prefix and the line end
    };
    struct Event {
        unsigned type;
        unsigned id;
    };

    // OutputDebugStringA texts in the order written.
    std::vector<Line> Traces() const
    {
        std::vector<Line> lines;
        ForEach(":debugstr:OutputDebugStringA \"", [&](const std::string& quoted) {
            std::string text = Unescape(quoted);
            Line line;
            const std::size_t close = text.find("): ");
            if (!text.empty() && text[0] == '[' && close != std::string::npos) {
                const std::size_t open = text.rfind("](", close);
                if (open != std::string::npos) {
                    line.name = text.substr(1, open - 1);
                    line.thread = text.substr(open + 2, close - open - 2);
                    text = text.substr(close + 3);
                }
            }
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            line.message = text;
            lines.push_back(std::move(line));
        });
        return lines;
    }

    std::vector<std::string> Messages(const char* name) const
    {
        std::vector<std::string> messages;
        for (const Line& line : Traces()) {
            if (line.name == name) {
                messages.push_back(line.message);
            }
        }
        return messages;
    }

    bool HasMessage(const char* name, const std::string& message) const
    {
        const std::vector<std::string> messages = Messages(name);
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }

    // The lines of the thread that wrote first, from that line on.
    std::vector<std::string> ThreadFrom(const char* name, const std::string& first) const
    {
        std::vector<std::string> messages;
        std::string thread;
        for (const Line& line : Traces()) {
            if (line.name != name) {
                continue;
            }
            if (thread.empty() && line.message == first) {
                thread = line.thread;
            }
            if (!thread.empty() && line.thread == thread) {
                messages.push_back(line.message);
            }
        }
        return messages;
    }

    // Events reported with ReportEventA: Wine traces the type and the id.
    std::vector<Event> Events() const
    {
        std::vector<Event> events;
        ForEach(":advapi:ReportEventA (", [&](const std::string& arguments) {
            // (handle,0xTYPE,0xCATEGORY,0xID,...
            unsigned type = 0;
            unsigned category = 0;
            unsigned id = 0;
            const std::size_t comma = arguments.find(',');
            if (comma != std::string::npos &&
                std::sscanf(arguments.c_str() + comma, ",0x%x,0x%x,0x%x", &type, &category, &id) == 3) {
                events.push_back({type, id});
            }
        });
        return events;
    }

    std::size_t EventCount(unsigned type, unsigned id) const
    {
        std::size_t count = 0;
        for (const Event& event : Events()) {
            count += event.type == type && event.id == id ? 1 : 0;
        }
        return count;
    }

private:
    void ForEach(const char* marker, const std::function<void(const std::string&)>& take) const
    {
        std::istringstream lines(ReadWhole(path_));
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t at = line.find(marker);
            if (at != std::string::npos) {
                take(line.substr(at + std::strlen(marker)));
            }
        }
    }

    // Wine's quoting of a debug string: \n, \r, \t, \", \\ and \xHH; the
    // closing quote ends it.
    static std::string Unescape(const std::string& quoted)
    {
        std::string text;
        for (std::size_t i = 0; i < quoted.size(); ++i) {
            char c = quoted[i];
            if (c == '"') {
                break;
            }
            if (c != '\\' || i + 1 >= quoted.size()) {
                text += c;
                continue;
            }
            c = quoted[++i];
            switch (c) {
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'x':
                if (i + 2 < quoted.size()) {
                    text += static_cast<char>(std::stoi(quoted.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                }
                break;
            default: text += c; break;
            }
        }
        return text;
    }

    std::string path_;
};

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

// Ends the service's process without a control, as a crash would.
bool EndServiceProcess(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) ||
        status.dwProcessId == 0) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (process == nullptr) {
        return false;
    }
    const bool ended = TerminateProcess(process, 0) != 0 && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool ReadDword(const char* path, const char* name, DWORD* value, REGSAM view = 0)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = sizeof *value;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD;
}

bool ReadString(const char* path, const char* name, std::string* value, DWORD* type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    LONG result = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    *value = buffer;
    return result == ERROR_SUCCESS;
}

bool WriteDword(const char* path, const char* name, DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    LONG result = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void DeleteValue(const char* path, const char* name, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

// Whether some socket holds the UDP port on every address, as the listener does.
bool UdpPortHeld(std::uint16_t port)
{
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    const bool held = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0;
    closesocket(probe);
    return held;
}

// The rows of the ADO stand-in's file: the lines after its header.
std::multiset<std::string> TerminalRows(const std::string& path)
{
    std::multiset<std::string> rows;
    std::istringstream lines(ReadWhole(path));
    std::string line;
    bool header = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (header) {
            header = false;
        } else if (!line.empty()) {
            rows.insert(line);
        }
    }
    return rows;
}

// The session table beside the executable, read by the wtsapi32.dll stand-in.
bool TableHasSession(const std::string& table, unsigned sessionId)
{
    std::istringstream lines(ReadWhole(table));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == std::to_string(sessionId)) {
            return true;
        }
    }
    return false;
}

// A Windows 7 workstation (Wine's default) repeats the logoff until it fails
// and traces no success.
bool LogoffSuccessIsTraced()
{
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
#pragma GCC diagnostic pop
    return !(version.dwMajorVersion == 6 && version.dwMinorVersion == 1 && version.wProductType == VER_NT_WORKSTATION);
}

// The message table compiled into the executable: ids 100 to 110, each text
// ending in CR LF as the event viewer expects.
void CheckMessageTable(const std::string& executable)
{
    HMODULE module = LoadLibraryExA(executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Check(module != nullptr, "the executable loads as a data file");
    if (module == nullptr) {
        return;
    }
    const std::pair<DWORD, const char*> texts[] = {
        {100, "The %1 service was installed.\r\n"},
        {109, "Session %1 (client address %2) was logged off: its terminal was judged dead (%3).\r\n"},
        {110, "%1 session probes failed for reasons of this server's own, not of their terminals, and logged nothing "
              "off; most common reason (%2 of them): %3. The sessions are probed again at the next passes.\r\n"},
    };
    bool allEndInCrLf = true;
    for (DWORD id = 100; id <= 110; ++id) {
        char text[512] = {};
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id,
                                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
        const std::string message(text, length);
        if (message.size() < 2 || message.compare(message.size() - 2, 2, "\r\n") != 0 ||
            message.find('\n') != message.size() - 1) {
            Say("message %lu: \"%s\"", static_cast<unsigned long>(id), message.c_str());
            allEndInCrLf = false;
        }
        for (const auto& [textId, expected] : texts) {
            if (textId == id) {
                Check(message == expected, (std::string("message ") + std::to_string(id) + " reads as expected").c_str());
            }
        }
    }
    Check(allEndInCrLf, "messages 100 to 110 each end in CR LF");
    FreeLibrary(module);
}

// The service's registration in the SCM: own process, automatic start, normal
// error control, LocalSystem, started by `commandLine`.
void CheckServiceConfiguration(SC_HANDLE service, const std::string& commandLine)
{
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<QUERY_SERVICE_CONFIGA> buffer(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
    QUERY_SERVICE_CONFIGA* config = buffer.data();
    if (!QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size() * sizeof *config), &needed)) {
        Check(false, "the SCM answers QueryServiceConfig");
        return;
    }
    Say("SCM: type 0x%lx, start %lu, error control %lu, account %s, path %s",
        static_cast<unsigned long>(config->dwServiceType), static_cast<unsigned long>(config->dwStartType),
        static_cast<unsigned long>(config->dwErrorControl), config->lpServiceStartName ? config->lpServiceStartName : "",
        config->lpBinaryPathName ? config->lpBinaryPathName : "");
    Check(config->dwServiceType == SERVICE_WIN32_OWN_PROCESS && config->dwStartType == SERVICE_AUTO_START &&
              config->dwErrorControl == SERVICE_ERROR_NORMAL,
          "the SCM holds an own-process service, automatic start, normal error control");
    Check(config->lpServiceStartName != nullptr && _stricmp(config->lpServiceStartName, "LocalSystem") == 0,
          "the service runs as LocalSystem");
    Check(config->lpBinaryPathName != nullptr && commandLine == config->lpBinaryPathName,
          ("the SCM starts " + commandLine).c_str());
    Check(_stricmp(config->lpDisplayName, kServiceName) == 0, "the display name is the service's name");
}

// The failure actions, as far as the SCM keeps them: a restart after 60 s
// for every failure.
void CheckRestartOnFailure(SC_HANDLE service, const char* who)
{
    DWORD needed = 0;
    QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<SERVICE_FAILURE_ACTIONSA> buffer(needed / sizeof(SERVICE_FAILURE_ACTIONSA) + 1);
    SERVICE_FAILURE_ACTIONSA* actions = buffer.data();
    if (!QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<BYTE*>(actions),
                              static_cast<DWORD>(buffer.size() * sizeof *actions), &needed)) {
        Say("failure actions (%s): the SCM does not answer QueryServiceConfig2 (error %lu)", who,
            static_cast<unsigned long>(GetLastError()));
        return;
    }
    Say("failure actions (%s): %lu, reset after %lu s", who, static_cast<unsigned long>(actions->cActions),
        static_cast<unsigned long>(actions->dwResetPeriod));
    bool restarts = actions->cActions > 0 && actions->lpsaActions != nullptr;
    for (DWORD index = 0; restarts && index < actions->cActions; ++index) {
        Say("  action %lu: type %d, delay %lu ms", static_cast<unsigned long>(index),
            static_cast<int>(actions->lpsaActions[index].Type),
            static_cast<unsigned long>(actions->lpsaActions[index].Delay));
        restarts = actions->lpsaActions[index].Type == SC_ACTION_RESTART && actions->lpsaActions[index].Delay == 60000;
    }
    if (actions->cActions == 0) {
        Say("failure actions (%s): the SCM keeps none (Wine's SCM accepts the setting and drops it)", who);
    } else {
        Check(restarts && actions->dwResetPeriod == 86400, (std::string(who) + ": a failure restarts after 60 s").c_str());
    }
}

// The event source in the Application log, with the executable's message table.
void CheckEventSource(const std::string& executable)
{
    std::string messageFile;
    DWORD type = 0;
    Check(ReadString(kEventSourceKey, "EventMessageFile", &messageFile, &type) && type == REG_EXPAND_SZ &&
              _stricmp(messageFile.c_str(), executable.c_str()) == 0,
          "the event source's message file is the executable (REG_EXPAND_SZ)");
    DWORD types = 0;
    Check(ReadDword(kEventSourceKey, "TypesSupported", &types) && types == 7, "the event source supports 7");
}

const char kWatchdog[] = "Corvel-DisconnService";

// The first start: the database cannot be opened; the watchdog does its work.
// The terminals are at <network>N (N = 2 to 17), each phase in a network of
// its own.
void CheckWatchdogAndFailedOpen(SC_HANDLE service, const std::string& directory, const DebugOutput& output,
                                const std::string& network)
{
    const auto at = [&](int host) { return network + std::to_string(host); };
    const std::string table = directory + "\\sessions";
    const std::string database = directory + "\\terminal.mdb";
    WriteWhole(database, "this is no database\r\n");

    const DWORD console = WTSGetActiveConsoleSessionId();
    Say("console session: %lu", static_cast<unsigned long>(console));
    Check(console != 0 && (console < 2 || console > 7), "the console session is none of the table's others");
    const std::string answer = HttpAnswer("200 OK", TestResponseEnvelope("OK"));
    StubTerminals terminals;
    const std::size_t live = terminals.Add(at(2), kTerminalPort, StubBehaviour::answer, answer);
    terminals.Add(at(3), kTerminalPort, StubBehaviour::silent);
    // <network>4: nothing listens, the connection is refused.
    struct Never {
        unsigned session;
        const char* state;
        std::string address;
        std::size_t stub;
    };
    Never never[] = {
        {0, "connected", at(10), 0},
        {console, "connected", at(11), 0},
        {5, "active", at(15), 0},
        {6, "disconnected", at(16), 0},
        {7, "idle", at(17), 0},
    };
    std::string text = "# sessions of the end-to-end test\nconsole " + std::to_string(console) + "\n" +
                       "2 connected " + at(2) + " RDP-Tcp#2\n3 connected " + at(3) + " RDP-Tcp#3\n" +
                       "4 connected " + at(4) + " RDP-Tcp#4\n";
    for (Never& session : never) {
        session.stub = terminals.Add(session.address, kTerminalPort, StubBehaviour::answer, answer);
        text += std::to_string(session.session) + " " + session.state + " " + session.address + "\n";
    }
    WriteWhole(table, text);
    terminals.Start();

    Check(StartServiceA(service, 0, nullptr) != 0, "StartService (database that cannot be opened)");
    Check(WaitForState(service, SERVICE_RUNNING, 30000) == SERVICE_RUNNING, "the service reports running");

    // The listener ends at its open, with the connection text and the failure.
    const std::string connection = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + database;
    // "<error text>, <description>": both come from the failing open.
    const auto failure = [&] {
        for (const std::string& message : output.Messages(kWatchdog)) {
            const std::size_t comma = message.find(", ");
            if (comma != std::string::npos && comma > 0 && comma + 2 < message.size()) {
                return message;
            }
        }
        return std::string();
    };
    WaitUntil([&] { return !failure().empty(); }, 15000);
    const std::vector<std::string> texts = output.Messages("");
    Check(std::find(texts.begin(), texts.end(), connection) != texts.end(), "the connection text is traced");
    Say("open failure: %s", failure().c_str());
    Check(!failure().empty(), "the open failure is traced as text, description");
    Check(!UdpPortHeld(kRegistrationPort), "the listener never holds its port");

    // Dead and silent terminals lose their sessions within a few passes.
    const bool loggedOff =
        WaitUntil([&] { return !TableHasSession(table, 3) && !TableHasSession(table, 4); }, 20000);
    Check(loggedOff, "the silent (3) and the dead (4) sessions are logged off");
    WaitUntil([&] { return terminals.Requests(live) >= 2; }, 10000);
    Check(TableHasSession(table, 2), "the live terminal keeps its session");
    Say("live terminal requests: %u", terminals.Requests(live));
    Check(terminals.Requests(live) >= 2, "the live terminal is probed on every pass");
    Check(output.HasMessage(kWatchdog, at(2) + " connect: OK"), "the live terminal's answer is traced");
    for (const Never& session : never) {
        Check(terminals.Requests(session.stub) == 0 && TableHasSession(table, session.session),
              (std::string("never probed: ") + std::to_string(session.session) + " " + session.state).c_str());
    }
    for (const std::string& address : {at(3), at(4)}) {
        const std::string first = std::string("Disconn sIP1==") + address + "!";
        std::vector<std::string> expected = {first, std::string("http://") + address + "/webservice.wsdl",
                                             "Logoffing!"};
        if (LogoffSuccessIsTraced()) {
            expected.push_back("Disconn WTSLogoffSession xp vista 2003 2008");
        }
        std::vector<std::string> probe = output.ThreadFrom(kWatchdog, first);
        if (probe.size() > expected.size()) {
            probe.resize(expected.size());
        }
        Check(probe == expected, ("the probe of " + address + " traces address, URL, logoff").c_str());
    }
    Check(WaitUntil([&] { return output.EventCount(EVENTLOG_INFORMATION_TYPE, 109) >= 2; }, 5000),
          "each logoff reports event 109 (information)");
    terminals.Stop();

    Check(EndServiceProcess(service), "the service's process is ended");
    // Wine's SCM goes on reporting running for a process that was ended, and
    // starts it anew all the same; the next start's listener shows it runs.
    WaitForState(service, SERVICE_STOPPED, 3000);
}

// The second start: a database that opens; announcements are recorded.
void CheckRegistration(SC_HANDLE service, const std::string& directory, const DebugOutput& output)
{
    const std::string database = directory + "\\terminal.mdb";
    WriteWhole(database, std::string(corvel::testing::ado::kTerminalFileHeader) + "\r\n");
    WriteWhole(directory + "\\sessions", "");
    Check(StartServiceA(service, 0, nullptr) != 0, "StartService (database that opens)");
    Check(WaitForState(service, SERVICE_RUNNING, 30000) == SERVICE_RUNNING, "the service reports running");
    Check(WaitUntil([] { return UdpPortHeld(kRegistrationPort); }, 15000), "the listener holds its port");

    // Wine sends a datagram of a socket bound to a loopback alias from
    // 127.0.0.1, so the calling script sends the announcements from the host:
    // twice the pass phrase from 127.0.5.20, once from 127.0.5.21, and a
    // wrong text from 127.0.5.22.
    Say("announce");
    Check(WaitUntil([&] { return GetFileAttributesA((directory + "\\announced").c_str()) != INVALID_FILE_ATTRIBUTES; },
                    30000),
          "the announcements were sent");
    const bool done =
        WaitUntil([&] { return output.HasMessage(kWatchdog, "[127.0.5.22]:not the phrase"); }, 15000);
    Check(done, "every datagram is traced with its sender");
    for (const char* address : {"127.0.5.20", "127.0.5.21"}) {
        Check(output.HasMessage(kWatchdog, std::string("SELECT * FROM Properties WHERE ip='") + address + "'"),
              (std::string("the query for ") + address + " is traced").c_str());
    }
    Check(!output.HasMessage(kWatchdog, "SELECT * FROM Properties WHERE ip='127.0.5.22'"),
          "a wrong pass phrase is not looked up");
    const std::multiset<std::string> rows = TerminalRows(database);
    for (const std::string& row : rows) {
        Say("row: %s", row.c_str());
    }
    Check(rows == std::multiset<std::string>{"127.0.5.20", "127.0.5.21"}, "exactly two rows, one a source");
}

int RunPhase(const std::string& executable, const DebugOutput& output)
{
    CheckMessageTable(executable);
    Check(Contains(RunSwitch(executable, "-v"), "Corvel Service Version 1.0"), "-v prints the version");
    Check(Contains(RunSwitch(executable, "-i"), "Corvel Service installed"), "-i installs");
    Check(Contains(RunSwitch(executable, "-v"), "The service is currently installed"), "-v sees it installed");
    Check(output.EventCount(EVENTLOG_INFORMATION_TYPE, 100) == 1, "-i reports event 100 (information)");
    {
        // The program's folder has a space in its name: -i registers the path in quotes.
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
        if (service != nullptr) {
            const bool spaced = executable.find(' ') != std::string::npos;
            CheckServiceConfiguration(service, spaced ? "\"" + executable + "\"" : executable);
            CheckRestartOnFailure(service, "-i");
            CloseServiceHandle(service);
        }
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
    }

    CheckEventSource(executable);

    // The counter starts at Parameters\Start and grows by Parameters\Inc.
    Check(WriteDword(kParametersKey, "Start", kStartValue) && WriteDword(kParametersKey, "Inc", kIncrement),
          "Parameters Start and Inc written");
    // AllowMultipleTSSessions is set at every start, in the view the system reads.
    DeleteValue(kWinlogonKey, "AllowMultipleTSSessions", KEY_WOW64_64KEY);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
    Check(service != nullptr, "the SCM holds the service");
    if (service == nullptr) {
        return 1;
    }
    const std::string directory = Directory(executable);
    CheckWatchdogAndFailedOpen(service, directory, output, "127.0.5.");
    Check(output.EventCount(EVENTLOG_INFORMATION_TYPE, 105) == 1, "the start reports event 105 (information)");
    DWORD allowed = 0;
    Check(ReadDword(kWinlogonKey, "AllowMultipleTSSessions", &allowed, KEY_WOW64_64KEY) && allowed == 1,
          "AllowMultipleTSSessions is 1 in the system's own registry view");

    CheckRegistration(service, directory, output);

    SERVICE_STATUS status{};
    Check(ControlService(service, kSaveStatusControl, &status) != 0, "user control 128 accepted");
    DWORD current = 0xFFFFFFFF;
    Check(WaitUntil([&] { return ReadDword(kStatusKey, "Current", &current); }, 5000),
          "control 128 writes Status\\Current");
    Say("Status\\Current = %lu", static_cast<unsigned long>(current));
    Check(current >= kStartValue && (current - kStartValue) % kIncrement == 0,
          "Status\\Current is Start plus a number of Inc steps");

    // Controls the service does not handle are still answered with its status.
    Check(ControlService(service, 129, &status) != 0 && status.dwCurrentState == SERVICE_RUNNING,
          "user control 129 answered, still running");
    Check(ControlService(service, 200, &status) != 0 && status.dwCurrentState == SERVICE_RUNNING,
          "user control 200 answered, still running");
    Check(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status) != 0 &&
              status.dwCurrentState == SERVICE_RUNNING,
          "interrogate answers running");
    Check(WaitUntil([&] { return output.EventCount(EVENTLOG_ERROR_TYPE, 106) == 2; }, 5000),
          "controls 129 and 200 report event 106 (error), 128 none");
    Check(output.HasMessage(kServiceName, "Saving 'Current' as " + std::to_string(current)),
          "the save is traced with its value");

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

int FinishPhase(const std::string& executable, const DebugOutput& output)
{
    Check(output.HasMessage(kServiceName, "CNTService::OnStop()"), "the stop ran OnStop (the restart request)");
    Check(output.EventCount(EVENTLOG_INFORMATION_TYPE, 108) == 1, "the stop reports event 108 (information)");
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
            Check(EndServiceProcess(service), "the automatically restarted service is ended");
        } else {
            Check(queried && status.dwCurrentState == SERVICE_STOPPED, "the service is stopped");
        }
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    Check(Contains(RunSwitch(executable, "-u"), "Corvel Service removed."), "-u removes");
    Check(output.EventCount(EVENTLOG_INFORMATION_TYPE, 101) == 1, "-u reports event 101 (information)");
    Check(Contains(RunSwitch(executable, "-v"), "The service is not installed"), "-v sees it removed");
    Check(Contains(RunSwitch(executable, "-u"), "Corvel Service is not installed"), "a second -u finds nothing");
    return failures == 0 ? 0 : 1;
}

// Runs a command line and returns its exit code (~0 when it cannot be run).
DWORD RunProgram(std::string commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return ~DWORD{0};
    }
    WaitForSingleObject(process.hProcess, 300000);
    DWORD exitCode = ~DWORD{0};
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

// After an uninstallation or a failed installation: nothing of the product is left.
int AbsentPhase(const std::string& executable)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
    Check(manager != nullptr && service == nullptr, "the SCM holds no service");
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    HKEY key = nullptr;
    const bool sourceLeft = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
    if (sourceLeft) {
        RegCloseKey(key);
    }
    Check(!sourceLeft, "no event source is registered");
    Check(GetFileAttributesA(executable.c_str()) == INVALID_FILE_ATTRIBUTES, "the program file is gone");
    return failures == 0 ? 0 : 1;
}

// The service as the package installed it, then started over the stand-ins
// as the end-to-end run does, and its process ended without a stop (a stop
// would restart the machine, as it does for the -i installation above).
int PackagePhase(const std::string& executable, const DebugOutput& output, const std::string& package)
{
    char programFiles[MAX_PATH] = {};
    GetEnvironmentVariableA("ProgramFiles", programFiles, sizeof programFiles);
    Say("32-bit Program Files: %s", programFiles);
    Check(_stricmp(executable.c_str(), (std::string(programFiles) + "\\Corvel Service\\corvel-service.exe").c_str()) == 0,
          "the program is in the 32-bit Program Files folder");
    Check(GetFileAttributesA(executable.c_str()) != INVALID_FILE_ATTRIBUTES, "the program file is installed");
    Check(Contains(RunSwitch(executable, "-v"), "The service is currently installed"), "-v sees it installed");
    CheckEventSource(executable);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
    Check(service != nullptr, "the SCM holds the service");
    if (service == nullptr) {
        return 1;
    }
    // Windows Installer registers the path in quotes; Wine's msiexec as it
    // stands: either way it is the installed program.
    {
        DWORD needed = 0;
        QueryServiceConfigA(service, nullptr, 0, &needed);
        std::vector<QUERY_SERVICE_CONFIGA> buffer(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
        const bool queried = QueryServiceConfigA(service, buffer.data(),
                                                 static_cast<DWORD>(buffer.size() * sizeof buffer[0]), &needed) != 0;
        const std::string stored = queried && buffer[0].lpBinaryPathName ? buffer[0].lpBinaryPathName : "";
        const bool quoted = !stored.empty() && stored.front() == '"';
        Say("the package's service path is %s", quoted ? "quoted" : "not quoted");
        CheckServiceConfiguration(service, quoted ? "\"" + executable + "\"" : executable);
    }
    // The package started nothing; a new Wine session, like a machine start,
    // starts the automatic service. It is ended without a stop, and started
    // again below with the stand-ins' sessions in place.
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        Say("the automatic service came up with the Wine session: %s", StateName(status.dwCurrentState));
        Check(EndServiceProcess(service), "the automatically started service is ended");
        WaitForState(service, SERVICE_STOPPED, 3000);
        // Its listener's socket goes with the process, not always at once.
        WaitUntil([] { return !UdpPortHeld(kRegistrationPort); }, 15000);
    }
    CheckWatchdogAndFailedOpen(service, Directory(executable), output, "127.0.6.");
    Check(output.EventCount(EVENTLOG_INFORMATION_TYPE, 105) >= 1, "the start reports event 105 (information)");
    // The package sets no failure actions: the service set its own at start.
    CheckRestartOnFailure(service, "the service at its start");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    const DWORD removed = RunProgram("msiexec /x \"" + package + "\" /qn");
    Say("msiexec /x: exit code %lu", static_cast<unsigned long>(removed));
    Check(removed == ERROR_SUCCESS || removed == ERROR_SUCCESS_REBOOT_REQUIRED, "msiexec /x /qn uninstalls");
    return AbsentPhase(executable);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string phase = argc > 1 ? argv[1] : "";
    const bool traced = phase == "run" || phase == "finish" || phase == "package";
    if (!(((phase == "run" || phase == "finish") && argc == 4) || (phase == "package" && argc == 5) ||
          (phase == "absent" && argc == 3))) {
        std::fprintf(stderr, "usage: service_lifecycle run|finish <corvel-service.exe> <trace file>\n"
                             "       service_lifecycle package <corvel-service.exe> <trace file> <package>\n"
                             "       service_lifecycle absent <corvel-service.exe>\n");
        return 2;
    }
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    const DebugOutput output(traced ? argv[3] : "");
    int result = phase == "run"       ? RunPhase(argv[2], output)
                 : phase == "finish"  ? FinishPhase(argv[2], output)
                 : phase == "package" ? PackagePhase(argv[2], output, argv[4])
                                      : AbsentPhase(argv[2]);
    Say("%s phase %s", phase.c_str(), result == 0 ? "passed" : "FAILED");
    return result;
}
