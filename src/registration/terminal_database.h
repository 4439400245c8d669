// The terminal database: the register of known terminals, one row per IPv4
// address in the table Properties. The registration listener opens it once,
// records every terminal that announces itself and closes it when it ends.
// Every failure is raised as a CComFailure.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "platform/compat.h"
#include "platform/terminal_store.h"

// A failure code together with the error information that the failing object
// supplied, or none. ErrorText and ErrorDescription turn it into text.
class CComFailure : public std::exception {
public:
    explicit CComFailure(HRESULT code, corvel::platform::StoreErrorInfoPtr errorInfo = {})
        : code_(code), errorInfo_(std::move(errorInfo))
    {
    }

    HRESULT Error() const { return code_; }
    const corvel::platform::StoreErrorInfo* ErrorInfo() const { return errorInfo_.get(); }
    const char* what() const noexcept override { return "COM failure"; }

private:
    friend std::string ErrorText(const CComFailure& failure);

    HRESULT code_;
    corvel::platform::StoreErrorInfoPtr errorInfo_;
    // ErrorText is made once per failure and then reused.
    mutable std::optional<std::string> text_;
};

// The listener's one connection, owned by the listener thread from
// OpenTerminalDatabase to CloseTerminalDatabase; null when creating it failed.
extern corvel::platform::StoreConnection* TerminalDatabase;

// Creates TerminalDatabase, writes the connection text to the debugger output
// and opens the database.
void OpenTerminalDatabase();
// Looks the address up and adds a row with it when there is none.
void RecordTerminal(const char* address);
// Closes the connection if it is open and releases it.
void CloseTerminalDatabase();

// The system's message text for the failure's code without its line end, or
// "IDispatch error #n" / "Unknown error 0x..." when the system has none.
std::string ErrorText(const CComFailure& failure);
// The description of the failure's error information; empty when none.
std::string ErrorDescription(const CComFailure& failure);

namespace corvel::registration {

// The failure text made from a code and the system's text for it (none when
// the system has no text): the rules of ErrorText without the system.
std::string ComposeErrorText(HRESULT code, const std::optional<std::string>& systemText);

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<directory>\terminal.mdb";
// none when it would not fit the connection text's 260 bytes.
std::optional<std::string> ComposeConnectionText(const std::string& directory);

// "SELECT * FROM Properties WHERE ip='<address>'", cut to its 1024 bytes.
std::string ComposeQueryText(const char* address);

// Raised when the connection text would not fit: the filename is too long.
inline constexpr HRESULT kPathTooLong = MAKE_HRESULT_VALUE(0x800700CE);

}  // namespace corvel::registration
