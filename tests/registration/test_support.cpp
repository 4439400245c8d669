#include "registration/test_support.h"

#include <chrono>
#include <thread>

#include "platform/com.h"
#include "platform/debug_output.h"
#include "platform/terminal_store.h"
#include "platform/threads.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "windows/ado/terminal_file.h"
#else
#include <sqlite3.h>
#include <unistd.h>
#endif

namespace corvel::registration::testing {

#if defined(_WIN32)
namespace ado = ::corvel::testing::ado;
#endif

OutputCapture::OutputCapture()
{
    platform::SetDebugOutputHook(&OutputCapture::Hook, this);
}

OutputCapture::~OutputCapture()
{
    platform::SetDebugOutputHook(nullptr, nullptr);
}

void OutputCapture::Hook(std::string_view text, void* context)
{
    auto* capture = static_cast<OutputCapture*>(context);
    std::lock_guard<std::mutex> guard(capture->lock_);
    capture->texts_.push_back({std::string(text), platform::MonotonicMs()});
}

std::vector<CapturedText> OutputCapture::Captured() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return texts_;
}

std::vector<std::string> OutputCapture::Texts() const
{
    std::vector<std::string> texts;
    for (const CapturedText& captured : Captured()) {
        texts.push_back(captured.text);
    }
    return texts;
}

std::optional<std::string> TraceMessage(const std::string& text)
{
    const std::string prefix = "[Corvel-DisconnService](";
    std::size_t end = text.find("): ");
    if (!text.starts_with(prefix) || end == std::string::npos || !text.ends_with("\n")) {
        return std::nullopt;
    }
    return text.substr(end + 3, text.size() - end - 4);
}

std::vector<std::string> OutputCapture::TraceMessages() const
{
    std::vector<std::string> messages;
    for (const CapturedText& captured : Captured()) {
        if (auto message = TraceMessage(captured.text)) {
            messages.push_back(*message);
        }
    }
    return messages;
}

bool OutputCapture::WaitForMessage(const std::string& message, std::uint32_t timeoutMs) const
{
    std::uint64_t deadline = platform::MonotonicMs() + timeoutMs;
    while (platform::MonotonicMs() < deadline) {
        for (const std::string& seen : TraceMessages()) {
            if (seen == message) {
                return true;
            }
        }
        platform::SleepMs(10);
    }
    return false;
}

#if defined(_WIN32)

namespace {

// Whether ADO's Connection class is served by the stand-in in this prefix.
bool StandinRegistered()
{
    wchar_t server[MAX_PATH] = {};
    DWORD bytes = sizeof server;
    if (RegGetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{00000514-0000-0010-8000-00AA006D2EA4}\\InprocServer32", nullptr,
                     RRF_RT_REG_SZ, nullptr, server, &bytes) != ERROR_SUCCESS) {
        return false;
    }
    std::wstring path(server);
    std::wstring module(ado::kStandinModule);
    return path.size() >= module.size() &&
           CompareStringOrdinal(path.c_str() + path.size() - module.size(), -1, module.c_str(), -1, TRUE) ==
               CSTR_EQUAL;
}

}  // namespace

#endif

void StateRootFixture::SetUp()
{
#if defined(_WIN32)
    ASSERT_TRUE(StandinRegistered()) << "ADO's Connection class is not served by ado_standin.dll here: register it "
                                        "in the prefix with tests/windows/ado/register.sh";
    root = platform::DatabaseDirectory();
    WriteStandinDatabase(StandinDatabase({}));
#else
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    root = std::filesystem::temp_directory_path() /
           ("corvel-registration-" + std::to_string(::getpid()) + "-" + test->name());
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    ::setenv("CORVEL_ROOT", root.c_str(), 1);
#endif
    platform::InitializeComForThread();
}

void StateRootFixture::TearDown()
{
#if defined(_WIN32)
    // Every Connection and Recordset the product created has been released.
    if (HMODULE standin = GetModuleHandleW(ado::kStandinModule); standin != nullptr) {
        auto objectCount = reinterpret_cast<long (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(standin, ado::kObjectCountExport)));
        EXPECT_NE(objectCount, nullptr);
        if (objectCount != nullptr) {
            EXPECT_EQ(objectCount(), 0) << "ADO objects left unreleased";
        }
    }
    std::error_code ignored;
    std::filesystem::remove(StandinDatabaseFile(), ignored);
#else
    ::unsetenv("CORVEL_ROOT");
    std::filesystem::remove_all(root);
#endif
    platform::UninitializeComForThread();
}

#if !defined(_WIN32)

void StateRootFixture::Execute(const std::string& sql)
{
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open((root / "terminal.db").c_str(), &database), SQLITE_OK);
    char* message = nullptr;
    int result = sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(result, SQLITE_OK) << (message != nullptr ? message : "");
    sqlite3_free(message);
    sqlite3_close(database);
}

std::multiset<std::string> StateRootFixture::Rows()
{
    std::multiset<std::string> rows;
    sqlite3* database = nullptr;
    if (sqlite3_open_v2((root / "terminal.db").c_str(), &database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(database);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database, "SELECT ip FROM Properties", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* ip = sqlite3_column_text(statement, 0);
            rows.insert(ip != nullptr ? reinterpret_cast<const char*>(ip) : "");
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return rows;
}

void StateRootFixture::AddRow(const std::string& address)
{
    Execute("INSERT INTO Properties(ip) VALUES('" + address + "');");
}

void StateRootFixture::DropTable()
{
    Execute("DROP TABLE Properties;");
}

#else

std::filesystem::path StandinDatabaseFile()
{
    return std::filesystem::path(platform::DatabaseDirectory()) / "terminal.mdb";
}

std::string StandinDatabase(const std::vector<std::string>& rows)
{
    std::string content = std::string(ado::kTerminalFileHeader) + "\r\n";
    for (const std::string& row : rows) {
        content += row + "\r\n";
    }
    return content;
}

// Written with sharing, as the stand-in holds the file while connected.
void WriteStandinDatabase(const std::string& content)
{
    std::ofstream file(StandinDatabaseFile(), std::ios::binary | std::ios::trunc);
    file << content;
    ASSERT_TRUE(file.good()) << StandinDatabaseFile();
}

void StateRootFixture::Execute(const std::string&)
{
    FAIL() << "SQL runs on the Linux database only";
}

std::multiset<std::string> StateRootFixture::Rows()
{
    std::multiset<std::string> rows;
    std::ifstream file(StandinDatabaseFile(), std::ios::binary);
    std::string line;
    bool header = true;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!header && !line.empty()) {
            rows.insert(line);
        }
        header = false;
    }
    return rows;
}

void StateRootFixture::AddRow(const std::string& address)
{
    std::ofstream file(StandinDatabaseFile(), std::ios::binary | std::ios::app);
    file << address << "\r\n";
    ASSERT_TRUE(file.good());
}

void StateRootFixture::DropTable()
{
    WriteStandinDatabase(std::string(ado::kTerminalFileMagic) + "\r\n");
}

#endif

#if defined(_WIN32)

std::optional<std::string> NonLoopbackAddress()
{
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    if (GetAdaptersAddresses(AF_INET, kFlags, nullptr, adapters, &size) != NO_ERROR) {
        return std::nullopt;
    }
    for (auto* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            char text[INET_ADDRSTRLEN] = {};
            if (address->sin_family == AF_INET && (ntohl(address->sin_addr.s_addr) >> 24) != 127 &&
                inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) {
                return std::string(text);
            }
        }
    }
    return std::nullopt;
}

#endif

}  // namespace corvel::registration::testing
