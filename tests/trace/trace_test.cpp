// Trace lines: the prefix and line end, the cut at kTraceLineBytes, text
// written as it is, and control characters escaped so that one call is one line.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debug_output.h"
#include "platform/threads.h"
#include "trace/trace.h"

namespace {

// The lines written while a test runs, seen through the debug output's hook.
class TraceLines : public ::testing::Test {
protected:
    void SetUp() override { corvel::platform::SetDebugOutputHook(&TraceLines::OnTrace, this); }
    void TearDown() override { corvel::platform::SetDebugOutputHook(nullptr, nullptr); }

    std::vector<std::string> Traces()
    {
        std::lock_guard<std::mutex> guard(lock);
        return traces;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        traces.clear();
    }

private:
    static void OnTrace(std::string_view text, void* context)
    {
        auto* self = static_cast<TraceLines*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->traces.emplace_back(text);
    }

    std::mutex lock;
    std::vector<std::string> traces;
};

TEST_F(TraceLines, FormatCutAndReadyText)
{
    WatchdogTrace("Disconn sIP1==%s!", "10.0.0.7");
    std::string expectedPrefix = "[Corvel-DisconnService](" + std::to_string(corvel::platform::CurrentThreadId()) + "): ";
    ASSERT_EQ(Traces().size(), 1u);
    EXPECT_EQ(Traces()[0], expectedPrefix + "Disconn sIP1==10.0.0.7!\n");

    Clear();
    WatchdogTrace("%s", std::string(3000, 'x').c_str());
    ASSERT_EQ(Traces().size(), 1u);
    EXPECT_EQ(Traces()[0].size(), corvel::kTraceLineBytes - 1);  // the terminator is the 1024th byte
    EXPECT_EQ(Traces()[0].back(), '\n');

    Clear();
    WatchdogTraceText("http://%s/%d%n");
    EXPECT_EQ(Traces()[0], expectedPrefix + "http://%s/%d%n\n");
}

TEST_F(TraceLines, ControlCharactersAreEscapedSoOneCallIsOneLine)
{
    std::string expectedPrefix = "[Corvel-DisconnService](" + std::to_string(corvel::platform::CurrentThreadId()) + "): ";
    // A datagram that would forge a further line, with every kind of control character.
    WatchdogTrace("[%s]:%s", "10.0.0.7", "qm47tv47\n[Corvel-DisconnService](1): Logoffing!\r\t\x1b\x7f\x01 \x80\\x");
    WatchdogTraceText("a\nb");
    ASSERT_EQ(Traces().size(), 2u);
    EXPECT_EQ(Traces()[0], expectedPrefix +
                               "[10.0.0.7]:qm47tv47\\x0a[Corvel-DisconnService](1): Logoffing!"
                               "\\x0d\\x09\\x1b\\x7f\\x01 \x80\\x\n");
    EXPECT_EQ(Traces()[1], expectedPrefix + "a\\x0ab\n");

    // Cut at the buffer, never inside an escape.
    Clear();
    WatchdogTrace("%s", std::string(3000, '\n').c_str());
    ASSERT_EQ(Traces().size(), 1u);
    std::string line = Traces()[0];
    EXPECT_LE(line.size(), corvel::kTraceLineBytes - 1);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    std::string message = line.substr(expectedPrefix.size(), line.size() - expectedPrefix.size() - 1);
    EXPECT_EQ(message.size() % 4, 0u);
    EXPECT_GT(message.size(), 900u);
    for (std::size_t at = 0; at < message.size(); at += 4) {
        ASSERT_EQ(message.substr(at, 4), "\\x0a");
    }
}

}  // namespace
