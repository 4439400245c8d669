// The terminal database's texts (the failure texts, the connection text) and
// the database itself, one row per address, committed at once: the SQLite
// file on Linux, the ADO calls against the stand-in on Windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "registration/terminal_database.h"
#include "registration/test_support.h"

namespace {

using corvel::registration::ComposeConnectionText;
using corvel::registration::ComposeErrorText;
using corvel::registration::ComposeQueryText;

HRESULT Code(std::uint32_t value)
{
    return static_cast<HRESULT>(value);
}

TEST(ErrorText, SystemTextsLoseTheirLineEndAndMissingTextsAreMade)
{
    struct Case {
        std::uint32_t code;
        std::optional<std::string> systemText;
        std::string expected;
    };
    const Case cases[] = {
        {0x80040201u, std::nullopt, "IDispatch error #1"},
        {0x80040E37u, std::nullopt, "IDispatch error #3127"},
        {0x8004FFFFu, std::nullopt, "IDispatch error #65023"},
        {0x80040200u, std::nullopt, "Unknown error 0x80040200"},
        {0x80050000u, std::nullopt, "Unknown error 0x80050000"},
        {0x00000001u, std::nullopt, "Unknown error 0x1"},
        {0x80004005u, std::string("Unspecified error\r\n"), "Unspecified error"},
        {0x80004005u, std::string("Line feed alone\n"), "Line feed alone"},
        {0x80004005u, std::string("Two lines\r\n\r\n"), "Two lines\r\n"},
        {0x80004005u, std::string("Carriage return alone\r"), "Carriage return alone\r"},
        {0x80004005u, std::string("\n"), "\n"},  // one character is returned as it stands
        {0x80004005u, std::string("\r\n"), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ComposeErrorText(Code(c.code), c.systemText), c.expected) << std::hex << c.code;
    }
}

TEST(ErrorText, UsesTheSystemsTableAndIsMadeOnce)
{
    CComFailure dispatchError(Code(0x80040201u));
    EXPECT_EQ(ErrorText(dispatchError), "IDispatch error #1");
    EXPECT_EQ(ErrorText(dispatchError), "IDispatch error #1");
    EXPECT_EQ(ErrorDescription(dispatchError), "");
#if !defined(_WIN32)
    EXPECT_EQ(ErrorText(CComFailure(E_POINTER)), "Invalid pointer");
    EXPECT_EQ(ErrorText(CComFailure(E_FAIL)), "Unspecified error");
#endif
}

TEST(ConnectionText, NamesTheFileBesideTheDirectoryOrDoesNotFit)
{
    EXPECT_EQ(ComposeConnectionText("C:\\Program Files\\Corvel"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Program Files\\Corvel\\terminal.mdb");
    // 45 characters before the directory and 13 after it leave 201 for it in 260 bytes.
    EXPECT_TRUE(ComposeConnectionText(std::string(201, 'd')).has_value());
    EXPECT_EQ(ComposeConnectionText(std::string(201, 'd'))->size(), 259u);
    EXPECT_FALSE(ComposeConnectionText(std::string(202, 'd')).has_value());
    EXPECT_EQ(ComposeQueryText("10.0.0.7"), "SELECT * FROM Properties WHERE ip='10.0.0.7'");
}

// On Linux the SQLite file; on Windows the product's ADO calls against the
// stand-in registered in the Wine prefix (tests/windows/ado).
class TerminalStore : public corvel::registration::testing::StateRootFixture {};

TEST_F(TerminalStore, RecordsEachAddressOnceAndCommitsAtOnce)
{
    OpenTerminalDatabase();
    RecordTerminal("10.0.0.7");
    RecordTerminal("10.0.0.7");
    RecordTerminal("10.0.0.8");
    // Another connection sees the rows while ours is still open: each insert
    // is committed before RecordTerminal returns.
    EXPECT_EQ(Rows(), (std::multiset<std::string>{"10.0.0.7", "10.0.0.8"}));
    CloseTerminalDatabase();
    EXPECT_EQ(TerminalDatabase, nullptr);

    // Reopening keeps the file and its rows; several rows for one address add nothing.
    AddRow("10.0.0.9");
    AddRow("10.0.0.9");
    OpenTerminalDatabase();
    RecordTerminal("10.0.0.9");
    CloseTerminalDatabase();
    EXPECT_EQ(Rows(), (std::multiset<std::string>{"10.0.0.7", "10.0.0.8", "10.0.0.9", "10.0.0.9"}));
}

TEST_F(TerminalStore, ConnectionAndQueryTextsAreWrittenAsComposed)
{
    OpenTerminalDatabase();
    RecordTerminal("192.168.1.30");
    CloseTerminalDatabase();
    std::vector<std::string> texts = output.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + root.string() + "\\terminal.mdb");
    EXPECT_TRUE(texts[1].starts_with("[Corvel-DisconnService]("));
    EXPECT_TRUE(texts[1].ends_with("): SELECT * FROM Properties WHERE ip='192.168.1.30'\n")) << texts[1];
    EXPECT_EQ(Rows(), std::multiset<std::string>{"192.168.1.30"});
}

TEST_F(TerminalStore, FailuresCarryTheirCodeAndTheProvidersText)
{
#if defined(_WIN32)
    const std::string noTable =
        "The Microsoft Jet database engine cannot find the input table or query 'Properties'.  Make sure it exists "
        "and that its name is spelled correctly.";
    const std::string noConnectionText = "Unknown error 0x800A0E7D";
    const std::string noConnection =
        "The connection cannot be used to perform this operation. It is either closed or invalid in this context.";
#else
    const std::string noTable = "no such table: Properties";
    const std::string noConnectionText = "Unknown error 0x800A0C93";
    const std::string noConnection = "Operation is not allowed when the object is closed.";
#endif
    OpenTerminalDatabase();
    DropTable();
    try {
        RecordTerminal("10.0.0.7");
        FAIL() << "no failure raised";
    } catch (const CComFailure& failure) {
        EXPECT_EQ(ErrorText(failure), "IDispatch error #3127");
        EXPECT_EQ(ErrorDescription(failure), noTable);
    }
    CloseTerminalDatabase();

    // Without an open connection the lookup fails and says why.
    try {
        RecordTerminal("10.0.0.7");
        FAIL() << "no failure raised";
    } catch (const CComFailure& failure) {
        EXPECT_EQ(ErrorText(failure), noConnectionText);
        EXPECT_EQ(ErrorDescription(failure), noConnection);
    }
}

}  // namespace
