// Terminal services from systemd-logind over sd-bus (see logind_sessions.h).
#include "platform/posix/logind_sessions.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <systemd/sd-bus.h>

#include "platform/debug_output.h"
#include "platform/threads.h"

namespace corvel::platform::logind {

namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManagerInterface[] = "org.freedesktop.login1.Manager";
constexpr char kSessionInterface[] = "org.freedesktop.login1.Session";
constexpr char kSeatInterface[] = "org.freedesktop.login1.Seat";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kConsoleSeat[] = "seat0";
constexpr char kDefaultServices[] = "xrdp-sesman";

constexpr std::uint32_t kLargestPlainNumber = 0x7FFFFFFFu;
// Numbers are assigned up to the one below kNoConsoleSession; at most this
// many ids hold one at a time (a server has far fewer sessions).
constexpr std::uint32_t kLastAssignedNumber = kNoConsoleSession - 1;
constexpr std::size_t kMaxAssignedIds = 65536;

constexpr int kAddressFamilyInet = 2;

std::atomic<bool> loopbackProbed{false};

// The trace line of the watchdog, written here because the platform cannot
// use the trace library. The text is the platform's own; a session id in it
// goes through TracedId.
void TraceFailure(const std::string& what, int error)
{
    char line[512];
    char reason[128];
    const char* reasonText = ::strerror_r(error, reason, sizeof reason);
    std::snprintf(line, sizeof line, "[Corvel-DisconnService](%lu): logind: %s: %s\n",
                  static_cast<unsigned long>(CurrentThreadId()), what.c_str(), reasonText);
    WriteDebugOutput(line);
}

// A session id as a trace line shows it: logind's ids are short and plain,
// anything else is shown only in part.
std::string TracedId(const std::string& id)
{
    std::string shown;
    for (char c : id.substr(0, 32)) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                           c == '_' || c == '.';
        shown += plain ? c : '?';
    }
    return shown;
}

struct MessageRelease {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageRelease>;

struct BusRelease {
    // Nothing is left to send when a call ends: the connection closes at once.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};

struct SlotRelease {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

std::uint64_t NowUs()
{
    return MonotonicMs() * 1000u;
}

// One connection to the system bus for the length of one call, with the
// call's deadline. Every method call on it waits only until the deadline, and
// so does connecting and authenticating, which happen while the first call
// waits.
class Connection {
public:
    explicit Connection(std::uint32_t deadlineMs) : deadlineUs_(NowUs() + std::uint64_t{deadlineMs} * 1000u) {}

    // 0 or a negative errno.
    int Open()
    {
        sd_bus* bus = nullptr;
        int result = sd_bus_open_system(&bus);  // DBUS_SYSTEM_BUS_ADDRESS or the system's socket
        if (result < 0) {
            return result;
        }
        bus_.reset(bus);
        return 0;
    }

    // Calls member of logind's object at path; the arguments follow types as
    // sd_bus_message_append takes them. 0 with the reply, or a negative errno
    // (-ETIMEDOUT at the deadline; an error reply gives its errno, at least EIO).
    int Call(const char* path, const char* interface, const char* member, Message& reply, const char* types, ...)
    {
        sd_bus_message* raw = nullptr;
        int result = sd_bus_message_new_method_call(bus_.get(), &raw, kLogind, path, interface, member);
        if (result < 0) {
            return result;
        }
        Message request(raw);
        if (types != nullptr) {
            std::va_list arguments;
            va_start(arguments, types);
            result = sd_bus_message_appendv(request.get(), types, arguments);
            va_end(arguments);
            if (result < 0) {
                return result;
            }
        }
        return Wait(request, reply);
    }

    // Whether logind itself answered the last call (an error answer included):
    // false when it timed out or the connection failed.
    bool Answered() const { return answered_; }

private:
    struct Pending {
        Message reply;
        bool done = false;
    };

    static int OnReply(sd_bus_message* message, void* context, sd_bus_error* /*error*/)
    {
        auto* pending = static_cast<Pending*>(context);
        pending->reply.reset(sd_bus_message_ref(message));
        pending->done = true;
        return 0;
    }

    int Wait(Message& request, Message& reply)
    {
        answered_ = false;
        std::uint64_t now = NowUs();
        if (now >= deadlineUs_) {
            return -ETIMEDOUT;
        }
        Pending pending;
        sd_bus_slot* rawSlot = nullptr;
        int result = sd_bus_call_async(bus_.get(), &rawSlot, request.get(), &Connection::OnReply, &pending,
                                       deadlineUs_ - now);
        if (result < 0) {
            return result;
        }
        // Released before pending: a reply can no longer reach it.
        std::unique_ptr<sd_bus_slot, SlotRelease> slot(rawSlot);
        while (!pending.done) {
            result = sd_bus_process(bus_.get(), nullptr);
            if (result < 0) {
                return result;
            }
            if (pending.done) {
                break;
            }
            if (result > 0) {
                continue;
            }
            now = NowUs();
            if (now >= deadlineUs_) {
                return -ETIMEDOUT;
            }
            result = sd_bus_wait(bus_.get(), deadlineUs_ - now);
            if (result < 0 && result != -EINTR) {
                return result;
            }
        }
        // sd-bus answers for logind when the call timed out or the
        // connection ended.
        sd_bus_message* answer = pending.reply.get();
        answered_ = !sd_bus_message_is_method_error(answer, SD_BUS_ERROR_NO_REPLY) &&
                    !sd_bus_message_is_method_error(answer, SD_BUS_ERROR_TIMEOUT) &&
                    !sd_bus_message_is_method_error(answer, SD_BUS_ERROR_DISCONNECTED);
        if (sd_bus_message_is_method_error(pending.reply.get(), nullptr)) {
            int error = sd_bus_message_get_errno(pending.reply.get());
            return error > 0 ? -error : -EIO;
        }
        reply = std::move(pending.reply);
        return 0;
    }

    std::uint64_t deadlineUs_;
    bool answered_ = false;
    std::unique_ptr<sd_bus, BusRelease> bus_;
};

// What the watchdog needs of a session's properties.
struct SessionFacts {
    bool remote = false;
    std::string remoteHost;
    std::string service;
    std::string state;
    std::string sessionClass;
    std::string seat;
};

// Whether the variant at the read position holds the type expected: 1 when
// it does; 0 when not, with the variant skipped (the property then keeps its
// default, which probes nothing); or a negative errno.
int VariantHolds(sd_bus_message* message, const char* signature)
{
    const char* contents = nullptr;
    int result = sd_bus_message_peek_type(message, nullptr, &contents);
    if (result < 0) {
        return result;
    }
    if (contents != nullptr && std::strcmp(contents, signature) == 0) {
        return 1;
    }
    result = sd_bus_message_skip(message, "v");
    return result < 0 ? result : 0;
}

int ReadString(sd_bus_message* message, std::string& value)
{
    const char* text = nullptr;
    int result = VariantHolds(message, "s");
    if (result > 0 && (result = sd_bus_message_read(message, "v", "s", &text)) >= 0) {
        value = text;
    }
    return result;
}

int ReadBoolean(sd_bus_message* message, bool& value)
{
    int flag = 0;
    int result = VariantHolds(message, "b");
    if (result > 0 && (result = sd_bus_message_read(message, "v", "b", &flag)) >= 0) {
        value = flag != 0;
    }
    return result;
}

// A seat or session reference: (id, object path).
int ReadReferenceId(sd_bus_message* message, std::string& id)
{
    const char* text = nullptr;
    const char* path = nullptr;
    int result = VariantHolds(message, "(so)");
    if (result > 0 && (result = sd_bus_message_read(message, "v", "(so)", &text, &path)) >= 0) {
        id = text;
    }
    return result;
}

int ReadSessionFacts(Connection& connection, const char* path, SessionFacts& facts)
{
    Message reply;
    int result = connection.Call(path, kPropertiesInterface, "GetAll", reply, "s", kSessionInterface);
    if (result < 0) {
        return result;
    }
    sd_bus_message* message = reply.get();
    result = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (result < 0) {
        return result;
    }
    while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* name = nullptr;
        result = sd_bus_message_read_basic(message, 's', &name);
        if (result < 0) {
            return result;
        }
        std::string_view property(name);
        if (property == "Remote") {
            result = ReadBoolean(message, facts.remote);
        } else if (property == "RemoteHost") {
            result = ReadString(message, facts.remoteHost);
        } else if (property == "Service") {
            result = ReadString(message, facts.service);
        } else if (property == "State") {
            result = ReadString(message, facts.state);
        } else if (property == "Class") {
            result = ReadString(message, facts.sessionClass);
        } else if (property == "Seat") {
            result = ReadReferenceId(message, facts.seat);
        } else {
            result = sd_bus_message_skip(message, "v");
        }
        if (result < 0) {
            return result;
        }
        result = sd_bus_message_exit_container(message);
        if (result < 0) {
            return result;
        }
    }
    if (result < 0) {
        return result;
    }
    return sd_bus_message_exit_container(message);
}

// The PAM services whose remote sessions are probed.
std::set<std::string, std::less<>> ProbedServices()
{
    std::set<std::string, std::less<>> services;
    const char* configured = std::getenv("CORVEL_LOGIND_SERVICES");
    std::string_view list = configured != nullptr ? configured : "";
    std::size_t position = 0;
    while (position < list.size()) {
        std::size_t end = list.find_first_of(", \t", position);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        if (end > position) {
            services.emplace(list.substr(position, end - position));
        }
        position = end + 1;
    }
    if (services.empty()) {
        services.emplace(kDefaultServices);
    }
    return services;
}

bool IsConnected(const SessionFacts& facts, const std::set<std::string, std::less<>>& services)
{
    return facts.remote && facts.sessionClass == "user" && (facts.state == "active" || facts.state == "online") &&
           facts.seat.empty() && services.count(facts.service) != 0 && ClientIpv4(facts.remoteHost).has_value();
}

SessionState StateOf(const SessionFacts& facts, const std::set<std::string, std::less<>>& services)
{
    if (IsConnected(facts, services)) {
        return SessionState::Connected;
    }
    if (facts.state == "active") {
        return SessionState::Active;
    }
    if (facts.state == "online") {
        return SessionState::Idle;
    }
    return SessionState::Down;  // closing, or a state logind may add later
}

bool IsPlainNumber(const std::string& id)
{
    if (id.empty() || id.size() > 10 || id[0] == '0') {
        return false;
    }
    std::uint64_t value = 0;
    for (char c : id) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= kLargestPlainNumber;
}

// The numbers of ids that are no plain number, both ways.
class AssignedNumbers {
public:
    std::optional<std::uint32_t> NumberOf(const std::string& id)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = numbers_.find(id);
        if (found != numbers_.end()) {
            return found->second;
        }
        if (numbers_.size() >= kMaxAssignedIds || next_ > kLastAssignedNumber) {
            return std::nullopt;
        }
        std::uint32_t number = next_++;
        numbers_.emplace(id, number);
        ids_.emplace(number, id);
        return number;
    }

    std::optional<std::string> IdOf(std::uint32_t number)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = ids_.find(number);
        if (found == ids_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    // Ids that left the listing lose their numbers; the numbers are not given again.
    void KeepOnly(const std::set<std::string, std::less<>>& listed)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto entry = numbers_.begin(); entry != numbers_.end();) {
            if (listed.count(entry->first) == 0) {
                ids_.erase(entry->second);
                entry = numbers_.erase(entry);
            } else {
                ++entry;
            }
        }
    }

private:
    std::mutex lock_;
    std::map<std::string, std::uint32_t, std::less<>> numbers_;
    std::map<std::uint32_t, std::string> ids_;
    std::uint32_t next_ = kFirstAssignedNumber;
};

// Probes ask for their session's id until the process ends, static
// destruction included: the numbers are made once and never destroyed.
AssignedNumbers& Assigned()
{
    static AssignedNumbers* const numbers = new AssignedNumbers;
    return *numbers;
}

// The object path of the session a number names, through GetSession (logind
// escapes ids in paths). Fails for a number that names no session.
int SessionPath(Connection& connection, std::uint32_t number, std::string& id, std::string& path)
{
    std::optional<std::string> known = SessionIdOf(number);
    if (!known) {
        return -ENOENT;
    }
    id = std::move(*known);
    Message reply;
    int result = connection.Call(kManagerPath, kManagerInterface, "GetSession", reply, "s", id.c_str());
    if (result < 0) {
        return result;
    }
    const char* objectPath = nullptr;
    result = sd_bus_message_read(reply.get(), "o", &objectPath);
    if (result < 0) {
        return result;
    }
    path = objectPath;
    return 0;
}

// The facts of the session a number names, on a new connection.
int QuerySession(Connection& connection, std::uint32_t number, std::string& id, SessionFacts& facts)
{
    int result = connection.Open();
    std::string path;
    if (result >= 0) {
        result = SessionPath(connection, number, id, path);
    }
    if (result >= 0) {
        result = ReadSessionFacts(connection, path.c_str(), facts);
    }
    return result;
}

// The facts of the session a number names now; none when it is gone or
// logind cannot be asked.
std::optional<SessionFacts> SessionNow(std::uint32_t number)
{
    Connection connection(kCallDeadlineMs);
    std::string id;
    SessionFacts facts;
    if (QuerySession(connection, number, id, facts) < 0) {
        return std::nullopt;
    }
    return facts;
}

}  // namespace

std::optional<std::array<std::uint8_t, 4>> ClientIpv4(std::string_view remoteHost)
{
    if (remoteHost.empty() || remoteHost.size() > INET6_ADDRSTRLEN) {
        return std::nullopt;
    }
    const std::string text(remoteHost);
    std::array<std::uint8_t, 4> address{};
    in_addr inet{};
    in6_addr inet6{};
    if (::inet_pton(AF_INET, text.c_str(), &inet) == 1) {
        std::memcpy(address.data(), &inet.s_addr, address.size());
    } else if (::inet_pton(AF_INET6, text.c_str(), &inet6) == 1 && IN6_IS_ADDR_V4MAPPED(&inet6)) {
        std::memcpy(address.data(), inet6.s6_addr + 12, address.size());
    } else {
        return std::nullopt;
    }
    const bool unspecified = address[0] == 0;
    const bool loopback = address[0] == 127;
    const bool multicastOrReserved = address[0] >= 224;  // broadcast included
    if (unspecified || multicastOrReserved || (loopback && !loopbackProbed.load())) {
        return std::nullopt;
    }
    return address;
}

std::optional<std::uint32_t> SessionNumber(const std::string& sessionId)
{
    if (IsPlainNumber(sessionId)) {
        return static_cast<std::uint32_t>(std::strtoul(sessionId.c_str(), nullptr, 10));
    }
    return Assigned().NumberOf(sessionId);
}

std::optional<std::string> SessionIdOf(std::uint32_t number)
{
    if (number == 0) {
        return std::nullopt;
    }
    if (number <= kLargestPlainNumber) {
        return std::to_string(number);
    }
    return Assigned().IdOf(number);
}

void SetLoopbackProbed(bool probed)
{
    loopbackProbed.store(probed);
}

std::uint32_t ActiveConsoleSessionId()
{
    Connection connection(kCallDeadlineMs);
    int result = connection.Open();
    Message reply;
    if (result >= 0) {
        result = connection.Call(kManagerPath, kManagerInterface, "GetSeat", reply, "s", kConsoleSeat);
    }
    const char* seatPath = nullptr;
    if (result >= 0) {
        result = sd_bus_message_read(reply.get(), "o", &seatPath);
    }
    std::string seat = seatPath != nullptr ? seatPath : "";
    if (result >= 0) {
        result = connection.Call(seat.c_str(), kPropertiesInterface, "Get", reply, "ss", kSeatInterface,
                                 "ActiveSession");
    }
    std::string active;
    if (result >= 0) {
        result = ReadReferenceId(reply.get(), active);
    }
    // No seat0 (a server without a console) or no session on it: no console.
    if (result < 0 || active.empty()) {
        return kNoConsoleSession;
    }
    return SessionNumber(active).value_or(kNoConsoleSession);
}

bool EnumerateSessions(std::vector<SessionEntry>& sessions)
{
    sessions.clear();
    Connection connection(kListDeadlineMs);
    int result = connection.Open();
    Message reply;
    if (result >= 0) {
        result = connection.Call(kManagerPath, kManagerInterface, "ListSessions", reply, nullptr);
    }
    struct Listed {
        std::string id;
        std::string path;
    };
    std::vector<Listed> listed;
    if (result >= 0) {
        result = sd_bus_message_enter_container(reply.get(), 'a', "(susso)");
    }
    while (result >= 0) {
        const char* id = nullptr;
        std::uint32_t uid = 0;
        const char* user = nullptr;
        const char* seat = nullptr;
        const char* path = nullptr;
        result = sd_bus_message_read(reply.get(), "(susso)", &id, &uid, &user, &seat, &path);
        if (result <= 0) {
            break;
        }
        listed.push_back({id, path});
    }
    if (result < 0) {
        TraceFailure("sessions cannot be listed", -result);
        return false;
    }

    const auto services = ProbedServices();
    std::set<std::string, std::less<>> ids;
    for (const Listed& session : listed) {
        ids.insert(session.id);
        SessionFacts facts;
        result = ReadSessionFacts(connection, session.path.c_str(), facts);
        if (result < 0 && !connection.Answered()) {
            // logind stopped answering in the middle: the listing is not whole.
            TraceFailure("sessions cannot be listed", -result);
            sessions.clear();
            return false;
        }
        if (result < 0) {
            continue;  // gone since the listing
        }
        std::optional<std::uint32_t> number = SessionNumber(session.id);
        if (!number) {
            continue;  // no number left for it: never probed
        }
        SessionEntry entry;
        entry.sessionId = *number;
        entry.windowStationName = facts.service + ":" + session.id;
        entry.state = StateOf(facts, services);
        sessions.push_back(std::move(entry));
    }
    Assigned().KeepOnly(ids);
    return true;
}

bool QueryClientAddress(std::uint32_t sessionId, ClientAddressRecord& record)
{
    std::optional<SessionFacts> facts = SessionNow(sessionId);
    if (!facts) {
        return false;
    }
    std::optional<std::array<std::uint8_t, 4>> address = ClientIpv4(facts->remoteHost);
    if (!address) {
        return false;
    }
    record = ClientAddressRecord{};
    record.addressFamily = kAddressFamilyInet;
    std::memcpy(record.address + 2, address->data(), address->size());
    return true;
}

bool QueryConnectState(std::uint32_t sessionId, SessionState& state)
{
    std::optional<SessionFacts> facts = SessionNow(sessionId);
    if (!facts) {
        return false;
    }
    state = StateOf(*facts, ProbedServices());
    return true;
}

bool LogoffSession(std::uint32_t sessionId, bool /*wait*/)
{
    Connection connection(kCallDeadlineMs);
    std::string id;
    SessionFacts facts;
    int result = QuerySession(connection, sessionId, id, facts);
    if (result < 0) {
        return false;  // gone already, or logind cannot be asked
    }
    // Only a session that could have been probed is ever ended.
    if (!IsConnected(facts, ProbedServices())) {
        return false;
    }
    Message reply;
    result = connection.Call(kManagerPath, kManagerInterface, "TerminateSession", reply, "s", id.c_str());
    if (result < 0) {
        TraceFailure("session " + TracedId(id) + " cannot be terminated", -result);
        return false;
    }
    return true;
}

bool QueryOsVersion(OsVersionRecord& record)
{
    // There is no Windows version to report: the record reads as all zero.
    record = OsVersionRecord{};
    return true;
}

}  // namespace corvel::platform::logind
