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

// A fresh database per test, with the output captured and COM initialised
// for the test's thread. On Linux a fresh state root whose terminal.db the
// test reaches through an SQLite connection of its own; on Windows the
// terminal.mdb beside the test program, the plain file of the ADO stand-in
// (tests/windows/ado), whose objects must all be released when the test ends.
class StateRootFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs SQL on terminal.db through a connection of the test's own (Linux).
    void Execute(const std::string& sql);
    std::multiset<std::string> Rows();
    // Adds a row with the address, through the test's own access to the file.
    void AddRow(const std::string& address);
    // Removes the table Properties, so that every lookup fails.
    void DropTable();

    // The directory the database lies in: the state root on Linux, the test
    // program's directory on Windows.
    std::filesystem::path root;
    OutputCapture output;
};

#if defined(_WIN32)
// The machine's first IPv4 address outside 127.0.0.0/8, if it has one.
std::optional<std::string> NonLoopbackAddress();

// The database file of the ADO stand-in, and its content for a database that
// holds the table Properties with the given rows.
std::filesystem::path StandinDatabaseFile();
void WriteStandinDatabase(const std::string& content);
std::string StandinDatabase(const std::vector<std::string>& rows);
#endif

}  // namespace corvel::registration::testing
