// The terminal database: the register of known terminals, one row per
// terminal address in table Properties. The registration listener opens it
// when it starts, records every accepted announcement and closes it at the end.
// Failures are raised as ComFailure: an HRESULT with the store's error
// information, if it supplied any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "platform/compat.h"
#include "platform/terminal_store.h"

// Buffers in which the connection text and the query text are composed.
inline constexpr std::size_t kConnectionTextBytes = 260;
inline constexpr std::size_t kQueryTextBytes = 1024;
inline constexpr char kQueryTextFormat[] = "SELECT * FROM Properties WHERE ip='%s'";

// Raised with the code 0x80004003 when the store object could not be created,
// and with 0x800700CE when the connection text would not fit its buffer.
inline constexpr HRESULT kInvalidPointerFailure = MAKE_HRESULT_VALUE(0x80004003);
inline constexpr HRESULT kTextTooLongFailure = MAKE_HRESULT_VALUE(0x800700CE);

class ComFailure : public std::exception {
public:
    explicit ComFailure(HRESULT code, std::shared_ptr<const corvel::platform::StoreErrorInfo> errorInfo = {})
        : code_(code), errorInfo_(std::move(errorInfo))
    {
    }

    HRESULT Error() const { return code_; }
    const corvel::platform::StoreErrorInfo* ErrorInfo() const { return errorInfo_.get(); }
    const char* what() const noexcept override { return "COM failure"; }

private:
    friend std::string ErrorText(const ComFailure& failure);

    HRESULT code_;
    std::shared_ptr<const corvel::platform::StoreErrorInfo> errorInfo_;
    mutable std::optional<std::string> text_;  // made once by ErrorText, then reused
};

// Creates the connection and opens the database; raises ComFailure when it cannot.
void OpenTerminalDatabase();

// Looks the address up and adds a row for it when there is none; raises
// ComFailure when any step fails.
void RecordTerminal(const char* address);

// Closes the connection if it is open and releases it.
void CloseTerminalDatabase();

// Releases the connection without closing it first (the listener's early exits).
void ReleaseTerminalDatabase();

// The system's text of the failure's code, or "IDispatch error #n" /
// "Unknown error 0x..." when the system has none.
std::string ErrorText(const ComFailure& failure);

// The description of the failure's error information; empty when there is none.
std::string ErrorDescription(const ComFailure& failure);

// The text rules of ErrorText on the system's answer for code.
std::string ComposeErrorText(std::uint32_t code, const std::optional<std::string>& systemText);
