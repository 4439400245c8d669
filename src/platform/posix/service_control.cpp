// The service control manager on Linux.
// - Installation: a systemd unit corvel-service.service in $CORVEL_UNIT_DIR
//   (default /etc/systemd/system); "installed" means the unit file exists.
//   The unit restarts a service whose process failed (not one that was
//   stopped) and gives it room for the descriptors of its probes.
//   In the default directory, with systemd running, -i also reloads systemd
//   and enables the unit, and -u disables it, removes it and reloads.
// - Dispatcher: the service thread runs the service's main function while the
//   calling (main) thread waits for signals and hands them to the control
//   handler: SIGTERM and SIGINT stop (1), SIGHUP interrogates (4), SIGUSR1 and
//   SIGUSR2 are the user controls 128 and 129.
// - Status: READY=1 / STOPPING=1 and a STATUS= line over $NOTIFY_SOCKET.
#include "platform/service_control.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/posix/descriptor.h"
#include "platform/posix/systemd.h"
#include "platform/process.h"

namespace corvel::platform {

void NotifyServiceStatusHook(const ServiceStatus& status);

struct ScmRecord {
    std::string unitPath;  // empty for the manager itself
};

namespace {

constexpr char kUnitFileName[] = "corvel-service.service";
constexpr int kSignalPollMs = 100;
// Controls held while no handler is registered yet; a flood beyond this is dropped.
constexpr std::size_t kMaxHeldControls = 16;

// With CORVEL_UNIT_DIR set only the unit file is written or removed; in the
// default directory, with systemd running the machine, systemd is told too.
bool SystemdManagesUnits()
{
    std::optional<std::string> directory = GetEnvironment("CORVEL_UNIT_DIR");
    return (!directory || directory->empty()) && systemd::Running();
}

std::string UnitDirectory()
{
    std::optional<std::string> directory = GetEnvironment("CORVEL_UNIT_DIR");
    return directory && !directory->empty() ? *directory : systemd::CurrentLocations().defaultUnitDirectory;
}

std::string UnitPath()
{
    return UnitDirectory() + "/" + kUnitFileName;
}

// How a value is written into a unit line.
enum class UnitValue {
    Text,         // as it stands (Description): only '%', a specifier, doubled
    Quoted,       // in double quotes (Environment): backslash and quote escaped too
    CommandLine,  // quoted, and '$', a variable, doubled as well (ExecStart)
};

// The value as the unit line holds it; none when it has a control character,
// which no unit line can hold.
std::optional<std::string> UnitLineValue(const std::string& value, UnitValue kind)
{
    std::string written = kind == UnitValue::Text ? "" : "\"";
    for (char c : value) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return std::nullopt;
        }
        if (kind != UnitValue::Text && (c == '\\' || c == '"')) {
            written += '\\';
        } else if (c == '%' || (kind == UnitValue::CommandLine && c == '$')) {
            written += c;
        }
        written += c;
    }
    return kind == UnitValue::Text ? written : written + "\"";
}

// The words of an SCM command line as the SCM starts it: a leading part in
// double quotes is the program; unquoted, the program ends at the first space
// (the SCM's first try) and the rest are arguments.
std::vector<std::string> CommandLineWords(const std::string& commandLine)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    if (commandLine.size() >= 2 && commandLine.front() == '"') {
        std::size_t close = commandLine.find('"', 1);
        if (close != std::string::npos) {
            words.push_back(commandLine.substr(1, close - 1));
            at = close + 1;
        }
    }
    while (at < commandLine.size()) {
        std::size_t end = commandLine.find(' ', at);
        if (end == std::string::npos) {
            end = commandLine.size();
        }
        if (end > at) {
            words.push_back(commandLine.substr(at, end - at));
        }
        at = end + 1;
    }
    return words;
}

// Descriptors the service may hold open. The watchdog has at most one probe
// per connected session in flight; a probe holds its socket to the terminal
// and, while it resolves a redirect's host name, the resolver's socket: a
// few at most. The listener, the database, the logs and the session table
// add a handful. 65536 leaves room for thousands of sessions; the soft
// default of 1024 would let a few hundred slow terminals exhaust it, and then
// every probe fails for the server's own want of descriptors.
constexpr char kDescriptorLimit[] = "65536";
// A process that fails (ends with an error or a signal, not by a stop) is
// started again after this many seconds, as the Windows failure actions do.
static_assert(kRestartDelayMs % 1000 == 0);
constexpr std::uint32_t kRestartDelaySeconds = kRestartDelayMs / 1000;

// The unit runs the executable with no argument, in the state root given at
// install time when there was one, and with the forced restart on stop. Each
// line of a section is one entry of its list, so a setting is one more entry.
std::optional<std::string> ComposeUnit(const char* name, const std::string& commandLine)
{
    std::optional<std::string> description = UnitLineValue(name, UnitValue::Text);
    std::vector<std::string> words = CommandLineWords(commandLine);
    if (!description || words.empty()) {
        return std::nullopt;
    }
    std::string program;
    for (const std::string& word : words) {
        std::optional<std::string> written = UnitLineValue(word, UnitValue::CommandLine);
        if (!written) {
            return std::nullopt;
        }
        program += (program.empty() ? "" : " ") + *written;
    }
    std::vector<std::string> unit = {"Description=" + *description, "After=network.target"};
    std::vector<std::string> service = {"Type=notify", "ExecStart=" + program};
    // Settings given at install time stay the service's.
    const auto keepSetting = [&service](const std::string& assignment) {
        std::optional<std::string> setting = UnitLineValue(assignment, UnitValue::Quoted);
        if (setting) {
            service.push_back("Environment=" + *setting);
        }
        return setting.has_value();
    };
    std::optional<std::string> root = GetEnvironment("CORVEL_ROOT");
    if (root && !root->empty()) {
        // The service runs in / : a relative root is made absolute here.
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(*root, ignored).lexically_normal();
        if (!keepSetting("CORVEL_ROOT=" + absolute.string())) {
            return std::nullopt;
        }
    }
    // The session source: the table or logind.
    std::optional<std::string> source = GetEnvironment("CORVEL_SESSION_SOURCE");
    if (source && !source->empty() && !keepSetting("CORVEL_SESSION_SOURCE=" + *source)) {
        return std::nullopt;
    }
    service.insert(service.end(), {"Environment=CORVEL_RESTART_ON_STOP=1", "KillMode=process",
                                   "Restart=on-failure", "RestartSec=" + std::to_string(kRestartDelaySeconds),
                                   std::string("LimitNOFILE=") + kDescriptorLimit});
    std::vector<std::string> install = {"WantedBy=multi-user.target"};

    std::string text;
    for (const auto& [section, lines] : {std::pair{"[Unit]", &unit}, std::pair{"[Service]", &service},
                                         std::pair{"[Install]", &install}}) {
        text += text.empty() ? "" : "\n";
        text += std::string(section) + "\n";
        for (const std::string& line : *lines) {
            text += line + "\n";
        }
    }
    return text;
}

// errno after a systemctl step that failed: its exit status, or ECHILD when
// it could not be run or did not end.
int SystemctlError(int exitStatus)
{
    return exitStatus > 0 ? exitStatus : ECHILD;
}

std::atomic<ControlHandlerProcedure> controlHandler{nullptr};

struct ServiceThreadStart {
    ServiceMainProcedure serviceMain;
    std::string name;
    std::atomic<bool> finished{false};
};

void* ServiceThread(void* argument)
{
    auto* start = static_cast<ServiceThreadStart*>(argument);
    char* argv[] = {start->name.data(), nullptr};
    start->serviceMain(1, argv);
    start->finished.store(true);
    return nullptr;
}

std::uint32_t ControlForSignal(int signal)
{
    switch (signal) {
    case SIGTERM:
    case SIGINT: return kControlStop;
    case SIGHUP: return kControlInterrogate;
    case SIGUSR1: return kFirstUserControl;
    case SIGUSR2: return kFirstUserControl + 1;
    default: return 0;
    }
}

void SendToSystemd(const std::string& message)
{
    std::optional<std::string> socketPath = GetEnvironment("NOTIFY_SOCKET");
    if (!socketPath || socketPath->empty() || socketPath->size() >= sizeof(sockaddr_un::sun_path)) {
        return;
    }
    Descriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath->data(), socketPath->size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath->size());
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract socket
    }
    ::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
             length);
}

}  // namespace

ScmHandle OpenServiceManager(std::uint32_t /*access*/)
{
    struct stat info{};
    if (::stat(UnitDirectory().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        errno = ENOENT;
        return nullptr;
    }
    if (::access(UnitDirectory().c_str(), W_OK) != 0) {
        errno = EACCES;
        return nullptr;
    }
    return new ScmRecord{};
}

ScmHandle OpenInstalledService(ScmHandle manager, const char* /*name*/, std::uint32_t /*access*/)
{
    if (manager == nullptr) {
        return nullptr;
    }
    std::string path = UnitPath();
    if (::access(path.c_str(), F_OK) != 0) {
        return nullptr;
    }
    return new ScmRecord{path};
}

ScmHandle CreateOwnProcessService(ScmHandle manager, const char* name, const char* commandLine)
{
    if (manager == nullptr || commandLine == nullptr) {
        return nullptr;
    }
    std::optional<std::string> unit = ComposeUnit(name == nullptr ? "" : name, commandLine);
    if (!unit) {
        errno = EINVAL;
        return nullptr;
    }
    std::string path = UnitPath();
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file) {
        return nullptr;
    }
    bool written = ::write(file.get(), unit->data(), unit->size()) == static_cast<ssize_t>(unit->size());
    ::fsync(file.get());
    file.reset();
    if (!written) {
        int error = errno;
        ::unlink(path.c_str());
        errno = error;
        return nullptr;
    }
    if (SystemdManagesUnits()) {
        // The service starts with the machine, as an automatic service does.
        int result = systemd::RunSystemctl({"daemon-reload"});
        if (result == 0) {
            result = systemd::RunSystemctl({"enable", kUnitFileName});
        }
        if (result != 0) {
            ::unlink(path.c_str());
            systemd::RunSystemctl({"daemon-reload"});
            errno = SystemctlError(result);
            return nullptr;
        }
    }
    return new ScmRecord{path};
}

bool DeleteInstalledService(ScmHandle service)
{
    if (service == nullptr || service->unitPath.empty()) {
        errno = EINVAL;
        return false;
    }
    bool managed = SystemdManagesUnits();
    if (managed) {
        // Disabled first, so that no enable link is left behind.
        if (int result = systemd::RunSystemctl({"disable", kUnitFileName}); result != 0) {
            errno = SystemctlError(result);
            return false;
        }
    }
    if (::unlink(service->unitPath.c_str()) != 0) {
        return false;
    }
    if (managed) {
        int error = errno;
        systemd::RunSystemctl({"daemon-reload"});
        errno = error;
    }
    return true;
}

void CloseScmHandle(ScmHandle handle)
{
    delete handle;
}

bool SetRestartOnFailure(ScmHandle service)
{
    return service != nullptr;  // the unit's Restart=on-failure
}

void KeepRestartOnFailure(const char* /*name*/) {}

bool RunControlDispatcher(const char* name, ServiceMainProcedure serviceMain)
{
    // The signals are taken by this thread alone: block them before the
    // service thread starts, so that it and every worker inherit the mask.
    sigset_t controls;
    sigemptyset(&controls);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&controls, signal);
    }
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &controls, &previous);

    controlHandler.store(nullptr);  // each run's service registers its own
    ServiceThreadStart start;
    start.serviceMain = serviceMain;
    start.name = name == nullptr ? "" : name;
    pthread_t serviceThread;
    if (pthread_create(&serviceThread, nullptr, ServiceThread, &start) != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    }
    // A signal that comes before the service has registered its handler (a
    // stop during start-up) is held and handed over once it has, so that no
    // stop is lost; it is dropped only if the service ends without a handler.
    std::vector<std::uint32_t> heldControls;
    timespec wait{0, kSignalPollMs * 1000000L};
    while (!start.finished.load()) {
        int signal = ::sigtimedwait(&controls, nullptr, &wait);
        if (signal > 0 && heldControls.size() < kMaxHeldControls) {
            heldControls.push_back(ControlForSignal(signal));
        }
        ControlHandlerProcedure handler = controlHandler.load();
        if (handler != nullptr) {
            for (std::uint32_t code : heldControls) {
                handler(code);
            }
            heldControls.clear();
        }
    }
    pthread_join(serviceThread, nullptr);
    // Controls that came after the service ended are consumed here: unblocked,
    // their default action would kill the process that has just stopped cleanly.
    timespec noWait{0, 0};
    while (::sigtimedwait(&controls, nullptr, &noWait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

StatusHandle RegisterControlHandler(const char* /*name*/, ControlHandlerProcedure handler)
{
    if (handler == nullptr) {
        return 0;
    }
    controlHandler.store(handler);
    return 1;
}

bool ReportServiceStatus(StatusHandle /*handle*/, const ServiceStatus& status)
{
    NotifyServiceStatusHook(status);
    switch (status.currentState) {
    case kServiceRunning: SendToSystemd("READY=1\nSTATUS=running"); break;
    case kServiceStopPending: SendToSystemd("STOPPING=1\nSTATUS=stop pending"); break;
    case kServiceStartPending: SendToSystemd("STATUS=start pending"); break;
    case kServiceStopped: SendToSystemd("STATUS=stopped"); break;
    default: break;
    }
    return true;
}

}  // namespace corvel::platform
