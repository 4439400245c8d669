// Fixtures of the registration tests: the debugger output captured line by
// line with the time each text arrived, and on Linux a temporary state root
// whose terminal.db the tests read and change through a connection of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/state_root.h"

namespace corvel::registration::testing {

struct CapturedText {
    std::string text;
    std::uint64_t atMs;
};

// Captures the debugger output while it lives.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::vector<std::string> Texts() const;
    std::vector<CapturedText> Captured() const;
    // The trace lines' messages (the text after "[name](id): ", line end removed).
    std::vector<std::string> TraceMessages() const;
    // Waits until a trace message equal to message has arrived; false on time-out.
    bool WaitForMessage(const std::string& message, std::uint32_t timeoutMs = 5000) const;

private:
    static void Hook(std::string_view text, void* context);

    mutable std::mutex lock_;
    std::vector<CapturedText> texts_;
};

// The message of a trace line, or none when the text is not a trace line.
std::optional<std::string> TraceMessage(const std::string& text);

// A fresh state root per test (Linux), with the output captured.
class StateRootFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs SQL on terminal.db through a connection of the test's own.
    void Execute(const std::string& sql);
    std::multiset<std::string> Rows();

    std::optional<::corvel::testing::TemporaryStateRoot> stateRoot;
    std::filesystem::path root;
    OutputCapture output;
};

}  // namespace corvel::registration::testing
