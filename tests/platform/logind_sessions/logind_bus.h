// A systemd-logind of the test's own: a private dbus-daemon standing in for the
// system bus (DBUS_SYSTEM_BUS_ADDRESS names it while the fixture lives) with
// python3-dbusmock's logind template on it. Sessions are added and changed
// through the mock's own interface; TerminateSession ends a session (its
// object goes) and records its id.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct sd_bus;

namespace corvel::testing {

struct LogindSession {
    std::string id;
    std::string service = "xrdp-sesman";
    bool remote = true;
    // Remote given as the text "yes" instead of a boolean.
    bool remoteAsText = false;
    std::string remoteHost;
    std::string state = "active";
    std::string sessionClass = "user";
    // Empty: no seat, as a remote session has.
    std::string seat;
};

class LogindBus {
public:
    // Why the fixture cannot run here (dbus-daemon or dbusmock missing), or none.
    static std::optional<std::string> MissingTools();

    // Starts the bus and the mock in directory; throws when they do not come up.
    explicit LogindBus(const std::filesystem::path& directory);
    ~LogindBus();
    LogindBus(const LogindBus&) = delete;
    LogindBus& operator=(const LogindBus&) = delete;

    std::string Address() const;

    void AddSession(const LogindSession& session);
    void RemoveSession(const std::string& id);
    // seat0's active session: the console.
    void SetConsole(const std::string& id);
    // ListSessions names a session that has no object any more, first in the list.
    void AddVanishedSession(const std::string& id);
    // TerminateSession is refused from now on, as polkit refuses an unprivileged caller.
    void RefuseTermination();
    // Ids whose TerminateSession ended a session, in the order of the calls.
    std::vector<std::string> Terminated();

    // The bus (with logind) goes away, and comes back on the same address with
    // a logind that knows no session.
    void StopBus();
    void StartBus();
    // logind stops answering, and answers again; the same of the bus itself
    // (it still takes connections, as the kernel queues them).
    void PauseLogind();
    void ResumeLogind();
    void PauseBus();
    void ResumeBus();

private:
    void Call(const char* path, const char* interface, const char* member, const char* types, ...);
    void Connect();

    std::filesystem::path directory_;
    pid_t daemon_ = -1;
    pid_t mock_ = -1;
    sd_bus* bus_ = nullptr;
    std::optional<std::string> previousAddress_;
};

}  // namespace corvel::testing
