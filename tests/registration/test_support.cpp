#include "registration/test_support.h"

#include <chrono>
#include <thread>

#include "platform/debug_output.h"
#include "platform/threads.h"

#if !defined(_WIN32)
#include <sqlite3.h>
#include <unistd.h>
#endif

namespace corvel::registration::testing {

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

void StateRootFixture::SetUp()
{
#if !defined(_WIN32)
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    stateRoot.emplace(std::string("corvel-registration-") + test->name());
    root = stateRoot->path();
#endif
}

void StateRootFixture::TearDown()
{
#if !defined(_WIN32)
    stateRoot.reset();
#endif
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

#else

void StateRootFixture::Execute(const std::string&) {}
std::multiset<std::string> StateRootFixture::Rows()
{
    return {};
}

#endif

}  // namespace corvel::registration::testing
