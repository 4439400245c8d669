// Runs the real corvel-service in the foreground over a session table whose
// terminals misbehave in every way we know of, while the registration port is
// flooded, and checks that the service stays up, logs off exactly the sessions
// of dead and hostile terminals, records exactly the announced terminals, and
// keeps its memory, threads and descriptors bounded.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "faults/hostile_terminal.h"

namespace corvel::faults {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Bounds for the whole run. Each probe holds at most one response (capped at
// 16 MiB) plus its parsed value; the 10 MB answer costs about 10 MB of
// response and 20 MB of UTF-16 text per probe, and at most two of its probes
// overlap. Sanitizer builds multiply the heap by their shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kPeakRssBoundKiB = 1024 * 1024;
#else
constexpr long kPeakRssBoundKiB = 256 * 1024;
#endif
// Main, service, scanner and listener threads, plus the probes in flight: a
// silent terminal holds a probe 1 s, a dripping one 10 s (the request
// deadline), so fewer than 4 probes per hostile session overlap.
constexpr long kThreadBound = 64;
// Standard streams, the listener's socket and database, syslog, and one
// socket per probe in flight.
constexpr long kDescriptorBound = 96;

constexpr int kFloodDatagrams = 10000;
const char kPassPhrase[] = "qm47tv47";

struct ProcessFigures {
    long peakRssKiB = 0;
    long threads = 0;
    long descriptors = 0;
};

long StatusField(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return 0;
}

long DescriptorCount(pid_t pid)
{
    long count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

std::set<int> SessionIds(const fs::path& table)
{
    std::set<int> ids;
    std::ifstream file(table);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (!first.empty() && std::isdigit(static_cast<unsigned char>(first[0]))) {
            ids.insert(std::atoi(first.c_str()));
        }
    }
    return ids;
}

std::set<std::string> RecordedTerminals(const fs::path& database)
{
    std::set<std::string> rows;
    std::string command = "sqlite3 '" + database.string() + "' 'SELECT ip FROM Properties' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        return rows;
    }
    char line[256];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string row(line);
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) {
            row.pop_back();
        }
        rows.insert(row);
    }
    return rows;
}

// Sends one datagram to 127.0.0.1:8000 from the given loopback source.
void SendDatagram(int socketFd, const std::string& payload)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(8000);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(socketFd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
}

int SourceSocket(const std::string& source)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    return fd;
}

bool PortFree(int type, int port)
{
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    ::close(fd);
    return free;
}

class ServiceProcess {
public:
    ~ServiceProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void Start(const fs::path& root)
    {
        fs::path trace = root / "trace.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            int out = ::open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDERR_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::setenv("CORVEL_ROOT", root.c_str(), 1);
            ::unsetenv("CORVEL_RESTART_ON_STOP");
            ::unsetenv("NOTIFY_SOCKET");
            ::execl(CORVEL_SERVICE_BINARY, CORVEL_SERVICE_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    bool Running()
    {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            exitStatus_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }

    // Asks the service to stop and waits for its exit; returns the exit status.
    int Stop(std::chrono::seconds limit)
    {
        ::kill(pid_, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!Running()) {
                return exitStatus_;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

    void Sample(ProcessFigures& figures) const
    {
        figures.peakRssKiB = std::max(figures.peakRssKiB, StatusField(pid_, "VmHWM"));
        figures.threads = std::max(figures.threads, StatusField(pid_, "Threads"));
        figures.descriptors = std::max(figures.descriptors, DescriptorCount(pid_));
    }

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};


// The session table of the suite: one connected session per behaviour, one
// whose terminal refuses connections, and sessions that are never probed.
struct SessionPlan {
    std::vector<std::unique_ptr<HostileTerminal>> terminals;
    std::set<int> kept = {0, 1, 50, 51, 52};
    std::set<int> loggedOff;
    std::string table;
};

const std::vector<Behaviour> kBehaviours = {
    Behaviour::Live,            Behaviour::HugeResult,        Behaviour::Silent,
    Behaviour::Drip,            Behaviour::ResetMidResponse,  Behaviour::EndlessBody,
    Behaviour::RedirectForever, Behaviour::ManyHeaderLines,   Behaviour::HugeHeaderLine,
    Behaviour::ChunkSizeMax,    Behaviour::ChunkSizeNegative, Behaviour::DeepNesting,
    Behaviour::EntityBomb,      Behaviour::InvalidUtf8,
};

bool StartTerminals(SessionPlan& plan)
{
    std::ostringstream table;
    table << "# id state address\nconsole 1\n0 connected 127.0.1.250\n1 connected 127.0.1.251\n";
    int sessionId = 10;
    for (Behaviour behaviour : kBehaviours) {
        std::string address = "127.0.1." + std::to_string(sessionId);
        auto terminal = std::make_unique<HostileTerminal>(address, behaviour);
        if (!terminal->Start()) {
            return false;
        }
        table << sessionId << " connected " << address << " " << BehaviourName(behaviour) << "\n";
        (Answers(behaviour) ? plan.kept : plan.loggedOff).insert(sessionId);
        plan.terminals.push_back(std::move(terminal));
        ++sessionId;
    }
    table << sessionId << " connected 127.0.1.200 refused\n";
    plan.loggedOff.insert(sessionId);
    table << "50 active 127.0.1.201\n51 disconnected 127.0.1.202\n52 idle 127.0.1.203\n";
    plan.table = table.str();
    return true;
}

void WriteTable(const fs::path& root, const std::string& table)
{
    fs::path temporary = root / "sessions.new";
    std::ofstream(temporary) << table;
    fs::rename(temporary, root / "sessions");
}

void Flood(ServiceProcess& service, ProcessFigures& figures, int datagrams)
{
    int flood = SourceSocket("127.0.2.100");
    int repeat = SourceSocket("127.0.2.1");
    for (int datagram = 0; datagram < datagrams; ++datagram) {
        switch (datagram % 5) {
        case 0: SendDatagram(flood, std::string(2000, 'o')); break;  // longer than the buffer
        case 1: SendDatagram(flood, "QM47TV47"); break;
        case 2: SendDatagram(flood, std::string(1024, 'x')); break;  // exactly the buffer, no NUL
        case 3: SendDatagram(repeat, kPassPhrase); break;           // an address already known
        default: SendDatagram(flood, "qm47tv4"); break;
        }
        if (datagram % 1000 == 999) {
            service.Sample(figures);
            std::this_thread::sleep_for(100ms);
        }
    }
    ::close(flood);
    ::close(repeat);
}

std::set<std::string> Announce(int sources)
{
    std::set<std::string> announced;
    for (int source = 1; source <= sources; ++source) {
        std::string address = "127.0.2." + std::to_string(source);
        int fd = SourceSocket(address);
        SendDatagram(fd, kPassPhrase);
        ::close(fd);
        announced.insert(address);
    }
    return announced;
}

// The listener binds its port only after opening the database: announcements
// sent before that would find no one.
bool UdpPortBound(int port)
{
    // Read from the kernel's table rather than by binding: a probing bind
    // could take the port from the listener at the very moment it binds.
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
            return true;
        }
    }
    return false;
}

bool WaitForListener(std::chrono::seconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!UdpPortBound(8000)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

fs::path FreshRoot(const char* name)
{
    fs::path root = fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    return root;
}

const char* SkipReason()
{
    if (::geteuid() != 0) {
        return "stub terminals listen on port 80 of loopback addresses, which needs root";
    }
    if (!PortFree(SOCK_DGRAM, 8000)) {
        return "UDP port 8000 is in use by another program";
    }
    return nullptr;
}

TEST(FaultInjection, ServiceSurvivesHostileTerminalsAndARegistrationFlood)
{
    if (const char* reason = SkipReason()) {
        GTEST_SKIP() << reason;
    }
    fs::path root = FreshRoot("corvel-faults");
    SessionPlan plan;
    ASSERT_TRUE(StartTerminals(plan)) << "cannot listen on a loopback address, port 80";
    WriteTable(root, plan.table);

    ServiceProcess service;
    service.Start(root);
    ProcessFigures figures;
    ASSERT_TRUE(WaitForListener(20s)) << "the registration listener never bound its port";
    ASSERT_TRUE(service.Running()) << "the service ended at start";

    // Registration: the pass phrase once from each of five sources, then a
    // flood of junk, oversize datagrams, near misses and repeats.
    std::set<std::string> announced = Announce(5);
    Flood(service, figures, kFloodDatagrams);

    // Every hostile session must go within a few passes: the slowest is the
    // dripping terminal, cut off by the request deadline of 10 time-outs.
    auto deadline = std::chrono::steady_clock::now() + 45s;
    std::set<int> remaining;
    for (;;) {
        ASSERT_TRUE(service.Running()) << "the service died; see " << (root / "trace.log");
        service.Sample(figures);
        remaining = SessionIds(root / "sessions");
        bool anyHostileLeft = false;
        for (int id : plan.loggedOff) {
            anyHostileLeft = anyHostileLeft || remaining.count(id) != 0;
        }
        if (!anyHostileLeft || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    // Two more passes: the live sessions are probed again and stay.
    for (int sample = 0; sample < 30; ++sample) {
        ASSERT_TRUE(service.Running());
        service.Sample(figures);
        std::this_thread::sleep_for(200ms);
    }
    remaining = SessionIds(root / "sessions");
    EXPECT_EQ(remaining, plan.kept) << "trace: " << (root / "trace.log");
    EXPECT_GE(plan.terminals[0]->connections(), 2) << "the live terminal is probed on every pass";

    EXPECT_EQ(RecordedTerminals(root / "terminal.db"), announced);

    EXPECT_LT(figures.peakRssKiB, kPeakRssBoundKiB);
    EXPECT_LT(figures.threads, kThreadBound);
    EXPECT_LT(figures.descriptors, kDescriptorBound);
    std::printf("peak RSS %ld KiB, peak threads %ld, peak descriptors %ld\n", figures.peakRssKiB, figures.threads,
                figures.descriptors);

    int status = service.Stop(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    for (auto& terminal : plan.terminals) {
        terminal->Stop();
    }
    if (!HasFailure()) {
        fs::remove_all(root);
    }
}

// The same setup for CORVEL_SOAK_MINUTES minutes (scripts/soak.sh): the
// session table is restored every 10 s so that the hostile terminals are
// probed again and again, a flood arrives every minute, and the process's
// RSS, threads and descriptors are printed once a minute.
TEST(FaultInjection, Soak)
{
    const char* minutesText = std::getenv("CORVEL_SOAK_MINUTES");
    if (minutesText == nullptr) {
        GTEST_SKIP() << "set CORVEL_SOAK_MINUTES to soak (scripts/soak.sh)";
    }
    if (const char* reason = SkipReason()) {
        GTEST_SKIP() << reason;
    }
    int minutes = std::max(1, std::atoi(minutesText));
    fs::path root = FreshRoot("corvel-soak");
    SessionPlan plan;
    ASSERT_TRUE(StartTerminals(plan));
    WriteTable(root, plan.table);
    ServiceProcess service;
    service.Start(root);
    ASSERT_TRUE(WaitForListener(20s)) << "the registration listener never bound its port";
    std::set<std::string> announced = Announce(5);
    std::printf("minute  rss_kib  peak_rss_kib  threads  descriptors\n");
    for (int minute = 1; minute <= minutes; ++minute) {
        ProcessFigures figures;
        Flood(service, figures, 2000);
        for (int step = 0; step < 6; ++step) {
            ASSERT_TRUE(service.Running()) << "the service died; see " << (root / "trace.log");
            WriteTable(root, plan.table);
            std::this_thread::sleep_for(10s);
        }
        std::printf("%6d  %7ld  %12ld  %7ld  %11ld\n", minute, StatusField(service.pid(), "VmRSS"),
                    StatusField(service.pid(), "VmHWM"), StatusField(service.pid(), "Threads"),
                    DescriptorCount(service.pid()));
        std::fflush(stdout);
    }
    EXPECT_EQ(RecordedTerminals(root / "terminal.db"), announced);
    EXPECT_EQ(service.Stop(10s), 0);
    for (auto& terminal : plan.terminals) {
        terminal->Stop();
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace corvel::faults
