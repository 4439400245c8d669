// The debugger output on Linux: every text reaches standard error as one
// line, a text without a line end (the connection text) gets one there, and
// a test hook sees each text as it was written.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/debug_output.h"

namespace {

std::vector<std::string> hooked;

void Record(std::string_view text, void*)
{
    hooked.emplace_back(text);
}

TEST(DebugOutput, EveryTextEndsItsLineOnStandardError)
{
    char path[] = "/tmp/corvel-debug-output-XXXXXX";
    int capture = ::mkstemp(path);
    ASSERT_GE(capture, 0);
    int savedError = ::dup(STDERR_FILENO);
    ::dup2(capture, STDERR_FILENO);
    hooked.clear();
    corvel::platform::SetDebugOutputHook(Record, nullptr);
    corvel::platform::WriteDebugOutput("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv\\terminal.mdb");
    corvel::platform::WriteDebugOutput("[Corvel Service](1): a trace line\n");
    corvel::platform::WriteDebugOutput("");
    corvel::platform::SetDebugOutputHook(nullptr, nullptr);
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);

    std::string written(4096, '\0');
    ssize_t length = ::pread(capture, written.data(), written.size(), 0);
    ::close(capture);
    ::unlink(path);
    ASSERT_GE(length, 0);
    written.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(written,
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv\\terminal.mdb\n"
              "[Corvel Service](1): a trace line\n");
    ASSERT_EQ(hooked.size(), 3u);
    EXPECT_EQ(hooked[0], "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv\\terminal.mdb");
}

}  // namespace

#endif
