// The registration listener on loopback: every datagram is traced, senders of
// the exact pass phrase are recorded once each, the listener paces itself, and
// a database that cannot be opened or a port in use end it with its code.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/threads.h"
#include "platform/udp_socket.h"
#include "registration/registration_listener.h"
#include "registration/terminal_database.h"
#include "registration/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sqlite3.h>
#endif

namespace {

using namespace corvel::platform;
using corvel::registration::testing::TraceMessage;

constexpr std::uint32_t kEndTimeoutMs = 10000;
constexpr std::int32_t kNotEnded = 1;

std::atomic<std::int32_t> listenerExitCode{kNotEnded};

std::uint32_t RunListener(void* argument)
{
    std::uint32_t code = RegistrationListener(argument);
    listenerExitCode.store(static_cast<std::int32_t>(code));
    return code;
}

// A UDP port that nobody holds at the moment.
std::uint16_t FreePort()
{
    UdpSocket probe = OpenUdpSocket();
    EXPECT_NE(probe, kInvalidUdpSocket);
    EXPECT_TRUE(BindUdpSocket(probe, "127.0.0.1", 0));
    std::uint16_t port = BoundUdpPort(probe);
    CloseUdpSocket(probe);
    return port;
}

bool PortHeld(std::uint16_t port)
{
    UdpSocket probe = OpenUdpSocket();
    bool bound = BindUdpSocket(probe, nullptr, port);
    CloseUdpSocket(probe);
    return !bound;
}

// A socket bound to a source address (null: the any-address), sending to the
// listener at a destination address.
class Terminal {
public:
    Terminal(const char* source, std::uint16_t port, std::string destination = "127.0.0.1")
        : socket_(OpenUdpSocket()), port_(port), destination_(std::move(destination))
    {
        EXPECT_TRUE(BindUdpSocket(socket_, source, 0)) << (source != nullptr ? source : "any");
    }
    ~Terminal() { CloseUdpSocket(socket_); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void Send(const std::string& payload) const
    {
        EXPECT_TRUE(SendDatagram(socket_, destination_.c_str(), port_, payload.data(), payload.size()));
    }

private:
    UdpSocket socket_;
    std::uint16_t port_;
    std::string destination_;
};

// How a second terminal reaches the listener from an address other than
// 127.0.0.1, and the address the listener then sees.
struct SecondSource {
    std::optional<std::string> bindAddress;  // none: the any-address
    std::string destination;
    std::string address;
};

// Linux and Windows send from the loopback address a socket is bound to.
// Wine keeps only the port of such a binding (getsockname still reports the
// address), so its datagrams leave from 127.0.0.1; there the second terminal
// sends to the machine's own non-loopback address instead, which its
// datagrams then carry as their source.
std::optional<SecondSource> FindSecondSource()
{
    UdpSocket receiver = OpenUdpSocket();
    EXPECT_TRUE(BindUdpSocket(receiver, nullptr, 0));
    std::uint16_t port = BoundUdpPort(receiver);
    char sender[kAddressTextBytes] = {};
    {
        Terminal probe("127.0.0.2", port);
        probe.Send("probe");
        char payload[16];
        EXPECT_EQ(ReceiveDatagram(receiver, payload, sizeof payload, sender), 5);
    }
    CloseUdpSocket(receiver);
    if (std::string(sender) == "127.0.0.2") {
        return SecondSource{std::string("127.0.0.2"), "127.0.0.1", "127.0.0.2"};
    }
#if defined(_WIN32)
    if (auto own = corvel::registration::testing::NonLoopbackAddress()) {
        return SecondSource{std::nullopt, *own, *own};
    }
#endif
    return std::nullopt;
}

class Listener : public corvel::registration::testing::StateRootFixture {
protected:
    void SetUp() override
    {
        StateRootFixture::SetUp();
        StartSocketLibraryForTest();
        port = FreePort();
        registrationPort.store(port);
        listenerRunning.store(1);
        listenerExitCode.store(kNotEnded);
    }

    void TearDown() override
    {
        if (thread != nullptr) {
            Stop();
        }
        registrationPort.store(kRegistrationPort);
        StopDatagramLibrary();
        StateRootFixture::TearDown();
    }

    static void StartSocketLibraryForTest() { ASSERT_EQ(StartDatagramLibrary(), 0); }

    void Start()
    {
        thread = StartThread(RunListener, nullptr);
        ASSERT_NE(thread, nullptr);
    }

    // Starts the listener and waits until it holds its port.
    void StartAndWaitForPort()
    {
        Start();
        std::uint64_t deadline = MonotonicMs() + 5000;
        while (!PortHeld(port) && listenerExitCode.load() == kNotEnded && MonotonicMs() < deadline) {
            SleepMs(10);
        }
        ASSERT_TRUE(PortHeld(port)) << "listener ended with " << listenerExitCode.load();
    }

    // Waits for the listener to end on its own; returns its exit code.
    std::int32_t WaitForEnd()
    {
        EXPECT_TRUE(WaitForThread(thread, kEndTimeoutMs));
        CloseThreadHandle(thread);
        thread = nullptr;
        return listenerExitCode.load();
    }

    // Clears the flag and sends one more datagram, which the listener handles
    // before it tests the flag again.
    std::int32_t Stop()
    {
        listenerRunning.store(0);
        if (listenerExitCode.load() == kNotEnded) {
            Terminal("127.0.0.1", port).Send("stop");
        }
        return WaitForEnd();
    }

    std::uint16_t port = 0;
    ThreadHandle thread = nullptr;
};

TEST_F(Listener, RecordsEachSenderOfThePassPhraseOnce)
{
    std::optional<SecondSource> secondSource = FindSecondSource();
    ASSERT_TRUE(secondSource.has_value()) << "no second source address reaches the listener here";
    StartAndWaitForPort();
    Terminal first("127.0.0.1", port);
    Terminal second(secondSource->bindAddress ? secondSource->bindAddress->c_str() : nullptr, port,
                    secondSource->destination);
    const std::string secondAddress = secondSource->address;
    const std::string exactLength(1024, 'a');
    const std::string tooLong(1025, 'b');

    first.Send("qm47tv47");
    first.Send("QM47TV47");
    first.Send("qm47tv4");
    first.Send("qm47tv477");
    first.Send(exactLength);
    first.Send(tooLong);
    first.Send("qm47tv47");  // after a longer datagram: only the received bytes count
    first.Send(std::string("qm47tv47\0tail", 13));
    second.Send("qm47tv47");
    ASSERT_TRUE(output.WaitForMessage("SELECT * FROM Properties WHERE ip='" + secondAddress + "'", 15000))
        << ::testing::PrintToString(output.TraceMessages());
    EXPECT_EQ(Stop(), 0);

    EXPECT_EQ(Rows(), (std::multiset<std::string>{"127.0.0.1", secondAddress}));

    std::vector<std::string> messages = output.TraceMessages();
    const std::string prefixOfLong = "[127.0.0.1]:" + std::string(64, 'a');
    std::vector<std::string> expected = {
        "[127.0.0.1]:qm47tv47",  "SELECT * FROM Properties WHERE ip='127.0.0.1'",
        "[127.0.0.1]:QM47TV47",  "[127.0.0.1]:qm47tv4",
        "[127.0.0.1]:qm47tv477", "<long>",
        "[127.0.0.1]:qm47tv47",  "SELECT * FROM Properties WHERE ip='127.0.0.1'",
        "[127.0.0.1]:qm47tv47",  "SELECT * FROM Properties WHERE ip='127.0.0.1'",
        "[" + secondAddress + "]:qm47tv47", "SELECT * FROM Properties WHERE ip='" + secondAddress + "'",
    };
    // The datagram that ends the listener is traced only if the flag was
    // cleared while it waited in its receive rather than in its pause.
    if (messages.size() == expected.size() + 1) {
        EXPECT_EQ(messages.back(), "[127.0.0.1]:stop");
        messages.pop_back();
    }
    ASSERT_EQ(messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == "<long>") {
            // 1024 characters of text, cut so that the whole line fits its 1024 bytes.
            EXPECT_TRUE(messages[i].starts_with(prefixOfLong)) << messages[i].substr(0, 80);
            EXPECT_EQ(messages[i].find_first_not_of('a', 12), std::string::npos);
        } else {
            EXPECT_EQ(messages[i], expected[i]) << "message " << i;
        }
    }
    for (const std::string& text : output.Texts()) {
        if (TraceMessage(text)) {
            EXPECT_LE(text.size(), 1023u);
        }
    }
}

TEST_F(Listener, DatagramsSentTogetherAreHandledHalfASecondApart)
{
    StartAndWaitForPort();
    Terminal terminal("127.0.0.1", port);
    terminal.Send("one");
    terminal.Send("two");
    ASSERT_TRUE(output.WaitForMessage("[127.0.0.1]:two"));
    std::uint64_t firstAt = 0;
    std::uint64_t secondAt = 0;
    for (const auto& captured : output.Captured()) {
        auto message = TraceMessage(captured.text);
        if (message == "[127.0.0.1]:one") {
            firstAt = captured.atMs;
        } else if (message == "[127.0.0.1]:two") {
            secondAt = captured.atMs;
        }
    }
    ASSERT_NE(firstAt, 0u);
    EXPECT_GE(secondAt - firstAt, 495u);
    EXPECT_LT(secondAt - firstAt, 3000u);
}

TEST_F(Listener, ARecordingFailureIsTracedAndTheNextDatagramHandled)
{
    StartAndWaitForPort();
    DropTable();
    Terminal terminal("127.0.0.1", port);
    terminal.Send("qm47tv47");
    terminal.Send("next");
    ASSERT_TRUE(output.WaitForMessage("[127.0.0.1]:next"));
    EXPECT_EQ(Stop(), 0);
    std::vector<std::string> messages = output.TraceMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], "[127.0.0.1]:qm47tv47");
    EXPECT_EQ(messages[1], "SELECT * FROM Properties WHERE ip='127.0.0.1'");
    EXPECT_EQ(messages[2], "IDispatch error #3127");
    EXPECT_EQ(messages[3], "[127.0.0.1]:next");
}

#if defined(_WIN32)

// Another holder of terminal.mdb that shares it with nobody, as a second
// Jet process with the database open exclusively does.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::filesystem::path& file)
        : handle_(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << file;
    }
    ~ExclusiveHolder() { CloseHandle(handle_); }
    ExclusiveHolder(const ExclusiveHolder&) = delete;
    ExclusiveHolder& operator=(const ExclusiveHolder&) = delete;

private:
    HANDLE handle_;
};

TEST_F(Listener, ADatabaseThatCannotBeOpenedEndsItWithMinusSix)
{
    using corvel::registration::testing::StandinDatabaseFile;
    using corvel::registration::testing::WriteStandinDatabase;
    const std::string file = StandinDatabaseFile().string();
    // The provider fails the open with E_FAIL, whose text is the system's own
    // ("Unspecified error" on Windows, "Call failed." under Wine).
    const std::string failed = ErrorText(CComFailure(E_FAIL)) + ", ";
    struct Case {
        const char* name;
        std::string expectedTrace;
    };
    const Case cases[] = {
        {"missing file", failed + "Could not find file '" + file + "'."},
        {"corrupt file", failed + "Unrecognized database format '" + file + "'."},
        {"empty file", failed + "Unrecognized database format '" + file + "'."},
        {"locked file", failed + "Could not use '" + file + "'; file already in use."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        std::optional<ExclusiveHolder> holder;
        if (name == "missing file") {
            std::filesystem::remove(file);
        } else if (name == "corrupt file") {
            WriteStandinDatabase(std::string(4096, 'x'));
        } else if (name == "empty file") {
            WriteStandinDatabase("");
        } else {
            WriteStandinDatabase(corvel::registration::testing::StandinDatabase({"10.0.0.7"}));
            holder.emplace(file);
        }
        corvel::registration::testing::OutputCapture caseOutput;
        listenerExitCode.store(kNotEnded);
        Start();
        EXPECT_EQ(WaitForEnd(), -6);
        holder.reset();
        std::vector<std::string> texts = caseOutput.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts[0], "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + DatabaseDirectory() + "\\terminal.mdb");
        EXPECT_EQ(caseOutput.TraceMessages(), std::vector<std::string>{c.expectedTrace});
        EXPECT_FALSE(PortHeld(port)) << "the port is never opened";
        EXPECT_EQ(TerminalDatabase, nullptr);
    }
}

#else

TEST_F(Listener, ADatabaseThatCannotBeOpenedEndsItWithMinusSix)
{
    struct Case {
        const char* name;
        std::string expectedTrace;
    };
    const Case cases[] = {
        {"missing directory", "Unspecified error, unable to open database file"},
        {"corrupt file", "Unspecified error, file is not a database"},
        {"locked file", "Unspecified error, database is locked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::path caseRoot = root / c.name;
        std::filesystem::create_directories(caseRoot);
        ::setenv("CORVEL_ROOT", caseRoot.c_str(), 1);
        sqlite3* holder = nullptr;
        std::string name = c.name;
        if (name == "missing directory") {
            ::setenv("CORVEL_ROOT", (caseRoot / "absent").c_str(), 1);
        } else if (name == "corrupt file") {
            std::ofstream(caseRoot / "terminal.db") << std::string(4096, 'x');
        } else {
            // Another connection holds the file in an exclusive transaction
            // for longer than the listener waits.
            ASSERT_EQ(sqlite3_open((caseRoot / "terminal.db").c_str(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "CREATE TABLE Properties(ip TEXT); BEGIN EXCLUSIVE;", nullptr, nullptr,
                                   nullptr),
                      SQLITE_OK);
        }
        corvel::registration::testing::OutputCapture caseOutput;
        listenerExitCode.store(kNotEnded);
        Start();
        EXPECT_EQ(WaitForEnd(), -6);
        if (holder != nullptr) {
            sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr);
            sqlite3_close(holder);
        }
        EXPECT_EQ(caseOutput.TraceMessages(), std::vector<std::string>{c.expectedTrace});
        EXPECT_FALSE(PortHeld(port)) << "the port is never opened";
        EXPECT_EQ(TerminalDatabase, nullptr);
    }
}

#endif

TEST_F(Listener, APortInUseEndsItWithMinusThreeAndNoTrace)
{
    UdpSocket holder = OpenUdpSocket();
    ASSERT_TRUE(BindUdpSocket(holder, nullptr, port));
    Start();
    EXPECT_EQ(WaitForEnd(), -3);
    CloseUdpSocket(holder);
    EXPECT_TRUE(output.TraceMessages().empty());
    EXPECT_EQ(TerminalDatabase, nullptr);
    EXPECT_FALSE(PortHeld(port)) << "the listener's socket was left open";
}

}  // namespace
