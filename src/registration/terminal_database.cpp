#include "registration/terminal_database.h"

#include <cstdio>

#include "platform/debug_output.h"
#include "platform/system_message.h"
#include "service/trace.h"

namespace {

// The listener's one connection, owned by the listener thread from
// OpenTerminalDatabase to CloseTerminalDatabase; null when creating it failed.
corvel::platform::TerminalConnectionPtr TerminalDatabase;

// Codes 0x80040201 to 0x8004FFFF are the ones IDispatch implementations raise
// for their own errors, numbered from 0x80040200.
constexpr std::uint32_t kDispatchErrorBase = 0x80040200;
constexpr std::uint32_t kDispatchErrorLast = 0x8004FFFF;
constexpr std::size_t kFallbackTextBytes = 32;

void RaiseOnFailure(const corvel::platform::StoreStatus& status)
{
    if (status.Failed()) {
        throw ComFailure(status.code, status.errorInfo);
    }
}

// Closes the result set if it was opened and releases it, whatever happens
// in between.
class OpenedRecordset {
public:
    explicit OpenedRecordset(corvel::platform::TerminalRecordsetPtr recordset) : recordset_(std::move(recordset)) {}
    OpenedRecordset(const OpenedRecordset&) = delete;
    OpenedRecordset& operator=(const OpenedRecordset&) = delete;
    ~OpenedRecordset()
    {
        if (recordset_ && opened_) {
            corvel::platform::CloseRecordset(*recordset_);
        }
    }

    corvel::platform::TerminalRecordset* get() const { return recordset_.get(); }
    void MarkOpened() { opened_ = true; }

private:
    corvel::platform::TerminalRecordsetPtr recordset_;
    bool opened_ = false;
};

}  // namespace

void OpenTerminalDatabase()
{
    TerminalDatabase = corvel::platform::CreateTerminalConnection();

    char connectionText[kConnectionTextBytes];
    std::string directory = corvel::platform::TerminalStoreDirectory();
    // The format is the platform's own text with one %s for the directory.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    int composed = std::snprintf(connectionText, sizeof connectionText, corvel::platform::kConnectionTextFormat,
                                 directory.c_str());
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    bool fits = composed >= 0 && static_cast<std::size_t>(composed) < sizeof connectionText;
    corvel::platform::WriteDebugOutput(connectionText);

    if (!TerminalDatabase) {
        throw ComFailure(kInvalidPointerFailure);
    }
    // A cut text would name another file: refuse it rather than open that one.
    if (!fits) {
        throw ComFailure(kTextTooLongFailure);
    }
    RaiseOnFailure(corvel::platform::OpenConnection(*TerminalDatabase, connectionText));
}

void RecordTerminal(const char* address)
{
    OpenedRecordset recordset(corvel::platform::CreateTerminalRecordset());

    char queryText[kQueryTextBytes];
    std::snprintf(queryText, sizeof queryText, kQueryTextFormat, address);
    WatchdogTraceText(queryText);

    if (recordset.get() == nullptr || !TerminalDatabase) {
        throw ComFailure(kInvalidPointerFailure);
    }
    RaiseOnFailure(corvel::platform::OpenRecordset(*recordset.get(), *TerminalDatabase, queryText, address));
    recordset.MarkOpened();

    bool atEnd = false;
    RaiseOnFailure(corvel::platform::RecordsetAtEnd(*recordset.get(), atEnd));
    if (!atEnd) {
        return;  // the address is recorded already
    }
    RaiseOnFailure(corvel::platform::AddNewRow(*recordset.get()));
    RaiseOnFailure(corvel::platform::WriteField(*recordset.get(), "ip", address));
    RaiseOnFailure(corvel::platform::UpdateRow(*recordset.get()));
}

void CloseTerminalDatabase()
{
    if (TerminalDatabase) {
        long state = 0;
        corvel::platform::StoreStatus status = corvel::platform::ConnectionState(*TerminalDatabase, state);
        if (!status.Failed() && state != 0) {
            corvel::platform::CloseConnection(*TerminalDatabase);
        }
    }
    TerminalDatabase.reset();
}

void ReleaseTerminalDatabase()
{
    TerminalDatabase.reset();
}

std::string ComposeErrorText(std::uint32_t code, const std::optional<std::string>& systemText)
{
    if (systemText && systemText->size() > 1) {
        std::string text = *systemText;
        if (text.back() == '\n') {
            text.pop_back();
            if (!text.empty() && text.back() == '\r') {
                text.pop_back();
            }
        }
        return text;
    }
    char fallback[kFallbackTextBytes];
    if (code > kDispatchErrorBase && code <= kDispatchErrorLast) {
        std::snprintf(fallback, sizeof fallback, "IDispatch error #%d", static_cast<int>(code - kDispatchErrorBase));
    } else {
        std::snprintf(fallback, sizeof fallback, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
    }
    return fallback;
}

std::string ErrorText(const ComFailure& failure)
{
    if (!failure.text_) {
        auto code = static_cast<std::uint32_t>(failure.Error());
        failure.text_ = ComposeErrorText(code, corvel::platform::SystemMessageText(code));
    }
    return *failure.text_;
}

std::string ErrorDescription(const ComFailure& failure)
{
    const corvel::platform::StoreErrorInfo* errorInfo = failure.ErrorInfo();
    return errorInfo == nullptr ? std::string() : errorInfo->Description();
}
