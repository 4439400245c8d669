#include "logind_bus.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace corvel::testing {

namespace {

constexpr char kDaemon[] = "/usr/bin/dbus-daemon";
// The python3 with Debian's dbusmock, whatever python3 the PATH names.
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";
constexpr char kSessionInterface[] = "org.freedesktop.login1.Session";
constexpr char kSeatInterface[] = "org.freedesktop.login1.Seat";
constexpr char kMock[] = "org.freedesktop.DBus.Mock";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
constexpr char kSessionPrefix[] = "/org/freedesktop/login1/session/";

// TerminateSession ends the session as logind does (an unknown id fails) and
// records it; ListSessions also names the vanished sessions, whose objects
// are gone.
constexpr char kTerminate[] =
    "self.RemoveObject('/org/freedesktop/login1/session/' + args[0])\n"
    "self.terminated = getattr(self, 'terminated', []) + [args[0]]\n";
constexpr char kTerminated[] = "ret = getattr(self, 'terminated', [])";
constexpr char kAddVanished[] =
    "self.vanished = getattr(self, 'vanished', []) + [(args[0], dbus.UInt32(1000), 'gone', '',"
    " dbus.ObjectPath('/org/freedesktop/login1/session/' + args[0]))]\n";
constexpr char kListSessions[] =
    "ret = list(getattr(self, 'vanished', []))\n"
    "for k, obj in objects.items():\n"
    "    if '/session/' in k:\n"
    "        ret.append((k.split('/')[-1], obj.Get('org.freedesktop.login1.Session', 'User')[0],\n"
    "                    obj.Get('org.freedesktop.login1.Session', 'Name'),\n"
    "                    obj.Get('org.freedesktop.login1.Session', 'Seat')[0], k))\n";

pid_t Spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    int result = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        throw std::runtime_error("cannot start " + arguments[0]);
    }
    return pid;
}

void Stop(pid_t& pid)
{
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGCONT);
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int wait = 0; wait < 200; ++wait) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
}

bool Exists(const char* path)
{
    return ::access(path, X_OK) == 0;
}

}  // namespace

std::optional<std::string> LogindBus::MissingTools()
{
    if (!Exists(kDaemon)) {
        return std::string("dbus-daemon is not installed (package dbus-daemon)");
    }
    if (!Exists(kPython) ||
        std::system("/usr/bin/python3 -c 'import dbusmock.templates.logind' >/dev/null 2>&1") != 0) {
        return std::string("python3-dbusmock is not installed");
    }
    return std::nullopt;
}

LogindBus::LogindBus(const std::filesystem::path& directory) : directory_(directory)
{
    std::filesystem::create_directories(directory_);
    std::ofstream config(directory_ / "bus.conf");
    config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <listen>unix:path="
           << (directory_ / "bus").string()
           << "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n"
              "    <allow own=\"*\"/>\n"
              "    <allow send_destination=\"*\"/>\n"
              "    <allow receive_sender=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n";
    config.close();
    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        previousAddress_ = previous;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Address().c_str(), 1);
    StartBus();
}

LogindBus::~LogindBus()
{
    StopBus();
    if (previousAddress_) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_->c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

std::string LogindBus::Address() const
{
    return "unix:path=" + (directory_ / "bus").string();
}

void LogindBus::StartBus()
{
    std::filesystem::remove(directory_ / "bus");
    daemon_ = Spawn({kDaemon, "--config-file=" + (directory_ / "bus.conf").string(), "--nofork", "--nopidfile"},
                    directory_ / "dbus-daemon.log");
    mock_ = Spawn({kPython, "-m", "dbusmock", "--system", "--template", "logind"}, directory_ / "dbusmock.log");

    // Up when logind's name has an owner: python takes a while to start.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        if (bus_ == nullptr && std::filesystem::exists(directory_ / "bus")) {
            try {
                Connect();
            } catch (const std::exception&) {
            }
        }
        if (bus_ != nullptr) {
            int owned = 0;
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", &error, &reply, "s", kLogind) >= 0) {
                sd_bus_message_read(reply, "b", &owned);
            }
            sd_bus_message_unref(reply);
            sd_bus_error_free(&error);
            if (owned != 0) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the test's logind did not come up; see " + directory_.string());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Call(kManagerPath, kMock, "AddMethod", "sssss", kManager, "TerminateSession", "s", "", kTerminate);
    Call(kManagerPath, kMock, "AddMethod", "sssss", kManager, "TerminatedSessions", "", "as", kTerminated);
    Call(kManagerPath, kMock, "AddMethod", "sssss", kManager, "AddVanishedSession", "s", "", kAddVanished);
    Call(kManagerPath, kMock, "AddMethod", "sssss", kManager, "ListSessions", "", "a(susso)", kListSessions);
}

void LogindBus::StopBus()
{
    if (bus_ != nullptr) {
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
    }
    Stop(mock_);
    Stop(daemon_);
}

void LogindBus::PauseLogind()
{
    ::kill(mock_, SIGSTOP);
}

void LogindBus::ResumeLogind()
{
    ::kill(mock_, SIGCONT);
}

void LogindBus::PauseBus()
{
    ::kill(daemon_, SIGSTOP);
}

void LogindBus::ResumeBus()
{
    ::kill(daemon_, SIGCONT);
}

void LogindBus::Connect()
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        throw std::runtime_error("sd_bus_new");
    }
    if (sd_bus_set_address(bus, Address().c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_set_method_call_timeout(bus, 5'000'000) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        throw std::runtime_error("cannot connect to the test's bus");
    }
    bus_ = bus;
}

void LogindBus::Call(const char* path, const char* interface, const char* member, const char* types, ...)
{
    sd_bus_message* request = nullptr;
    int result = sd_bus_message_new_method_call(bus_, &request, kLogind, path, interface, member);
    if (result >= 0 && types != nullptr) {
        std::va_list arguments;
        va_start(arguments, types);
        result = sd_bus_message_appendv(request, types, arguments);
        va_end(arguments);
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (result >= 0) {
        result = sd_bus_call(bus_, request, 0, &error, nullptr);
    }
    sd_bus_message_unref(request);
    std::string message = error.message != nullptr ? error.message : "";
    sd_bus_error_free(&error);
    if (result < 0) {
        throw std::runtime_error(std::string(member) + " on the test's logind failed: " + message);
    }
}

void LogindBus::AddSession(const LogindSession& session)
{
    // The template puts every session on a seat; a remote one then leaves it.
    const std::string seat = session.seat.empty() ? "seat9" : session.seat;
    Call(kManagerPath, kMock, "AddSession", "ssusb", session.id.c_str(), seat.c_str(), 1000u, "user", 1);
    const std::string path = kSessionPrefix + session.id;
    const char* object = path.c_str();
    if (session.remoteAsText) {
        Call(object, kProperties, "Set", "ssv", kSessionInterface, "Remote", "s", "yes");
    } else {
        Call(object, kProperties, "Set", "ssv", kSessionInterface, "Remote", "b", session.remote ? 1 : 0);
    }
    Call(object, kProperties, "Set", "ssv", kSessionInterface, "RemoteHost", "s", session.remoteHost.c_str());
    Call(object, kProperties, "Set", "ssv", kSessionInterface, "Service", "s", session.service.c_str());
    Call(object, kProperties, "Set", "ssv", kSessionInterface, "State", "s", session.state.c_str());
    Call(object, kProperties, "Set", "ssv", kSessionInterface, "Class", "s", session.sessionClass.c_str());
    if (session.seat.empty()) {
        Call(object, kProperties, "Set", "ssv", kSessionInterface, "Seat", "(so)", "", "/");
    }
}

void LogindBus::RemoveSession(const std::string& id)
{
    Call(kManagerPath, kMock, "RemoveObject", "s", (kSessionPrefix + id).c_str());
}

void LogindBus::SetConsole(const std::string& id)
{
    const std::string path = kSessionPrefix + id;
    Call("/org/freedesktop/login1/seat/seat0", kProperties, "Set", "ssv", kSeatInterface, "ActiveSession", "(so)",
         id.c_str(), path.c_str());
}

void LogindBus::RefuseTermination()
{
    Call(kManagerPath, kMock, "AddMethod", "sssss", kManager, "TerminateSession", "s", "",
         "raise dbus.exceptions.DBusException('Access denied', name='org.freedesktop.DBus.Error.AccessDenied')");
}

void LogindBus::AddVanishedSession(const std::string& id)
{
    Call(kManagerPath, kManager, "AddVanishedSession", "s", id.c_str());
}

std::vector<std::string> LogindBus::Terminated()
{
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(bus_, kLogind, kManagerPath, kManager, "TerminatedSessions", &error, &reply, "");
    sd_bus_error_free(&error);
    std::vector<std::string> ids;
    if (result >= 0) {
        char** list = nullptr;
        if (sd_bus_message_read_strv(reply, &list) >= 0 && list != nullptr) {
            for (char** id = list; *id != nullptr; ++id) {
                ids.emplace_back(*id);
                std::free(*id);
            }
            std::free(list);
        }
    }
    sd_bus_message_unref(reply);
    if (result < 0) {
        throw std::runtime_error("cannot read the terminated sessions");
    }
    return ids;
}

}  // namespace corvel::testing
