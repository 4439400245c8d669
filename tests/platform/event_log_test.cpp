// The message table: the source the Windows resource is compiled from
// (service_messages.mc) holds exactly the ids, symbolic names and texts of
// kServiceMessages, in the same order, and the Linux log fills them in.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace {

using corvel::platform::kServiceMessages;

#if defined(CORVEL_MESSAGE_SOURCE)
struct SourceMessage {
    std::uint32_t id = 0;
    std::string symbolicName;
    std::string text;
};

// The entries of a message-compiler source: "MessageId=", "SymbolicName=",
// "Language=" and the text lines up to a line holding only ".".
std::vector<SourceMessage> ReadMessageSource(const char* path)
{
    std::ifstream file(path);
    std::vector<SourceMessage> messages;
    std::string line;
    bool inText = false;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (inText) {
            if (line == ".") {
                inText = false;
            } else {
                std::string& text = messages.back().text;
                text += text.empty() ? line : "\n" + line;
            }
        } else if (line.rfind("MessageId=", 0) == 0) {
            messages.push_back({static_cast<std::uint32_t>(std::stoul(line.substr(10))), "", ""});
        } else if (line.rfind("SymbolicName=", 0) == 0 && !messages.empty()) {
            messages.back().symbolicName = line.substr(13);
        } else if (line.rfind("Language=", 0) == 0 && !messages.empty()) {
            inText = true;
        }
    }
    return messages;
}

TEST(EventLog, MessageSourceHoldsTheTableOfTheCode)
{
    std::vector<SourceMessage> source = ReadMessageSource(CORVEL_MESSAGE_SOURCE);
    ASSERT_EQ(source.size(), std::size(kServiceMessages));
    for (std::size_t index = 0; index < source.size(); ++index) {
        SCOPED_TRACE(kServiceMessages[index].symbolicName);
        EXPECT_EQ(source[index].id, kServiceMessages[index].id);
        EXPECT_EQ(source[index].symbolicName, kServiceMessages[index].symbolicName);
        EXPECT_EQ(source[index].text, kServiceMessages[index].text);
    }
}
#endif

TEST(EventLog, InsertionStringsAreFilledIn)
{
    const char* name = "Corvel Service";
    EXPECT_EQ(corvel::platform::FormatServiceMessage(corvel::platform::kEventInstalled, &name, 1),
              "The Corvel Service service was installed.");
    EXPECT_EQ(corvel::platform::FormatServiceMessage(corvel::platform::kEventInstalled, nullptr, 0),
              "The  service was installed.");
    EXPECT_EQ(corvel::platform::FormatServiceMessage(corvel::platform::kEventProbesNotJudged + 1, &name, 1), "");
    const char* logoff[] = {"7", "10.0.0.7", "connection refused"};
    EXPECT_EQ(corvel::platform::FormatServiceMessage(corvel::platform::kEventSessionLoggedOff, logoff, 3),
              "Session 7 (client address 10.0.0.7) was logged off: its terminal was judged dead "
              "(connection refused).");
}

}  // namespace
