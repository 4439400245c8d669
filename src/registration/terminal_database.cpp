// The terminal database over the platform's store: the connection, query and
// error texts, the lookup-then-insert of an address, and the close at the
// listener's end.
#include "registration/terminal_database.h"

#include <cstdio>

#include "platform/debug_output.h"
#include "platform/system_message.h"
#include "trace/trace.h"

corvel::platform::StoreConnection* TerminalDatabase = nullptr;

namespace corvel::registration {

namespace {

constexpr std::size_t kConnectionTextBytes = 260;
constexpr std::size_t kQueryTextBytes = 1024;
constexpr std::size_t kFallbackTextBytes = 32;
constexpr std::uint32_t kDispatchErrorBase = 0x80040200u;
constexpr std::uint32_t kDispatchErrorLast = 0x8004FFFFu;

// Raises the failure of a platform call, with the error information it handed back.
void Check(HRESULT result, platform::StoreErrorInfoPtr& error)
{
    if (FAILED(result)) {
        throw CComFailure(result, std::move(error));
    }
}

// Owner of one lookup's result set: closed if it was opened, then released.
class ResultSetOwner {
public:
    ResultSetOwner() : resultSet_(platform::CreateStoreResultSet()) {}
    ~ResultSetOwner()
    {
        if (opened_) {
            platform::StoreErrorInfoPtr ignored;
            platform::CloseStoreResultSet(resultSet_, &ignored);
        }
        platform::ReleaseStoreResultSet(resultSet_);
    }
    ResultSetOwner(const ResultSetOwner&) = delete;
    ResultSetOwner& operator=(const ResultSetOwner&) = delete;

    platform::StoreResultSet* get() const { return resultSet_; }
    void MarkOpened() { opened_ = true; }

private:
    platform::StoreResultSet* resultSet_;
    bool opened_ = false;
};

}  // namespace

std::string ComposeErrorText(HRESULT code, const std::optional<std::string>& systemText)
{
    if (systemText) {
        std::string text = *systemText;
        if (text.size() > 1 && text.back() == '\n') {
            text.pop_back();
            if (!text.empty() && text.back() == '\r') {
                text.pop_back();
            }
        }
        return text;
    }
    char text[kFallbackTextBytes];
    std::uint32_t value = static_cast<std::uint32_t>(code);
    if (value > kDispatchErrorBase && value <= kDispatchErrorLast) {
        std::snprintf(text, sizeof text, "IDispatch error #%d", static_cast<int>(value - kDispatchErrorBase));
    } else {
        std::snprintf(text, sizeof text, "Unknown error 0x%0lX", static_cast<unsigned long>(value));
    }
    return text;
}

std::optional<std::string> ComposeConnectionText(const std::string& directory)
{
    char text[kConnectionTextBytes];
    int length = std::snprintf(text, sizeof text, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%s\\terminal.mdb",
                               directory.c_str());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::string ComposeQueryText(const char* address)
{
    char text[kQueryTextBytes];
    std::snprintf(text, sizeof text, "SELECT * FROM Properties WHERE ip='%s'", address);
    return text;
}

}  // namespace corvel::registration

void OpenTerminalDatabase()
{
    using namespace corvel;
    TerminalDatabase = platform::CreateStoreConnection();
    std::optional<std::string> connectionText = registration::ComposeConnectionText(platform::DatabaseDirectory());
    if (!connectionText) {
        // The directory is too long for the connection text: rather than
        // open a cut path, the open fails.
        throw CComFailure(registration::kPathTooLong);
    }
    platform::WriteDebugOutput(*connectionText);
    if (TerminalDatabase == nullptr) {
        throw CComFailure(E_POINTER);
    }
    platform::StoreErrorInfoPtr error;
    registration::Check(platform::OpenStoreConnection(TerminalDatabase, connectionText->c_str(), &error), error);
}

void RecordTerminal(const char* address)
{
    using namespace corvel;
    registration::ResultSetOwner resultSet;
    std::string query = registration::ComposeQueryText(address);
    WatchdogTraceText(query.c_str());
    if (resultSet.get() == nullptr) {
        throw CComFailure(E_POINTER);
    }
    platform::StoreErrorInfoPtr error;
    registration::Check(platform::OpenStoreResultSet(resultSet.get(), query.c_str(), address, TerminalDatabase, &error),
                        error);
    resultSet.MarkOpened();
    bool atEnd = false;
    registration::Check(platform::StoreResultSetAtEnd(resultSet.get(), &atEnd, &error), error);
    if (!atEnd) {
        return;  // a row for the address exists
    }
    registration::Check(platform::AddNewStoreRow(resultSet.get(), &error), error);
    registration::Check(platform::SetStoreField(resultSet.get(), "ip", address, &error), error);
    registration::Check(platform::UpdateStoreRow(resultSet.get(), &error), error);
}

void CloseTerminalDatabase()
{
    using namespace corvel;
    if (TerminalDatabase == nullptr) {
        return;
    }
    platform::StoreErrorInfoPtr error;
    std::int32_t state = platform::kStoreStateClosed;
    HRESULT result = platform::StoreConnectionState(TerminalDatabase, &state, &error);
    if (SUCCEEDED(result) && state != platform::kStoreStateClosed) {
        platform::CloseStoreConnection(TerminalDatabase, &error);
    }
    platform::ReleaseStoreConnection(TerminalDatabase);
    TerminalDatabase = nullptr;
}

std::string ErrorText(const CComFailure& failure)
{
    if (!failure.text_) {
        failure.text_ = corvel::registration::ComposeErrorText(
            failure.Error(), corvel::platform::SystemMessageText(failure.Error()));
    }
    return *failure.text_;
}

std::string ErrorDescription(const CComFailure& failure)
{
    return corvel::platform::DescribeStoreError(failure.ErrorInfo());
}
