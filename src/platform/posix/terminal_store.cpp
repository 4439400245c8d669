// The terminal database on Linux: SQLite, file terminal.db in the state root,
// table Properties with the text column ip (indexed), created when absent.
// Every insert is committed (synchronous, rollback journal) before Update
// returns, so a recorded terminal survives a crash right after it.
#include "platform/terminal_store.h"

#include <sqlite3.h>

#include <cstring>
#include <string_view>

#include "platform/process.h"

namespace corvel::platform {

const char kConnectionTextFormat[] = "Provider=SQLite;Data Source=%s/terminal.db";

namespace {

// Another process holding the file is waited for this long, then reported.
constexpr int kBusyTimeoutMs = 2000;
constexpr std::string_view kDataSourceKey = "Data Source=";
constexpr HRESULT kFailure = MAKE_HRESULT_VALUE(0x80004005);       // E_FAIL
constexpr HRESULT kOutOfMemory = MAKE_HRESULT_VALUE(0x8007000E);   // E_OUTOFMEMORY
constexpr HRESULT kLockViolation = MAKE_HRESULT_VALUE(0x80070021);  // ERROR_LOCK_VIOLATION
constexpr HRESULT kInvalidArgument = MAKE_HRESULT_VALUE(0x80070057);

constexpr char kCreateSchema[] =
    "CREATE TABLE IF NOT EXISTS Properties (ip TEXT);"
    "CREATE INDEX IF NOT EXISTS PropertiesByIp ON Properties (ip);";
constexpr char kLookup[] = "SELECT * FROM Properties WHERE ip = ?1";
constexpr char kInsert[] = "INSERT INTO Properties (ip) VALUES (?1)";

class SqliteErrorInfo final : public StoreErrorInfo {
public:
    explicit SqliteErrorInfo(std::string description) : description_(std::move(description)) {}
    std::string Description() const override { return description_; }

private:
    std::string description_;
};

StoreStatus Failure(HRESULT code, std::string description)
{
    StoreStatus status;
    status.code = code;
    status.errorInfo = std::make_shared<SqliteErrorInfo>(std::move(description));
    return status;
}

StoreStatus SqliteFailure(sqlite3* database, int result)
{
    HRESULT code = kFailure;
    switch (result & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: code = kLockViolation; break;
    case SQLITE_NOMEM: code = kOutOfMemory; break;
    default: break;
    }
    const char* message = database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result);
    return Failure(code, message == nullptr ? "" : message);
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

}  // namespace

class TerminalConnection {
public:
    sqlite3* database = nullptr;
};

class TerminalRecordset {
public:
    enum class State { Closed, Open, Adding };

    TerminalConnection* connection = nullptr;
    State state = State::Closed;
    bool atEnd = true;
    std::string newAddress;
};

void TerminalConnectionDeleter::operator()(TerminalConnection* connection) const
{
    if (connection->database != nullptr) {
        sqlite3_close_v2(connection->database);
    }
    delete connection;
}

void TerminalRecordsetDeleter::operator()(TerminalRecordset* recordset) const
{
    delete recordset;
}

std::string TerminalStoreDirectory()
{
    return StateRoot();
}

TerminalConnectionPtr CreateTerminalConnection()
{
    return TerminalConnectionPtr(new TerminalConnection);
}

TerminalRecordsetPtr CreateTerminalRecordset()
{
    return TerminalRecordsetPtr(new TerminalRecordset);
}

StoreStatus OpenConnection(TerminalConnection& connection, const char* connectionText)
{
    if (connection.database != nullptr) {
        return Failure(kFailure, "the connection is open already");
    }
    std::string_view text(connectionText == nullptr ? "" : connectionText);
    std::size_t key = text.find(kDataSourceKey);
    if (key == std::string_view::npos) {
        return Failure(kInvalidArgument, "the connection text names no data source");
    }
    std::string path(text.substr(key + kDataSourceKey.size()));
    if (std::size_t end = path.find(';'); end != std::string::npos) {
        path.resize(end);
    }

    sqlite3* database = nullptr;
    int result = sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result != SQLITE_OK) {
        StoreStatus status = SqliteFailure(database, result);
        sqlite3_close_v2(database);
        return status;
    }
    sqlite3_busy_timeout(database, kBusyTimeoutMs);
    sqlite3_extended_result_codes(database, 1);
    // Reading the schema here also tells a file that is not a database, or one
    // another process holds, from a usable one.
    result = sqlite3_exec(database, "PRAGMA synchronous = FULL;", nullptr, nullptr, nullptr);
    if (result == SQLITE_OK) {
        result = sqlite3_exec(database, kCreateSchema, nullptr, nullptr, nullptr);
    }
    if (result != SQLITE_OK) {
        StoreStatus status = SqliteFailure(database, result);
        sqlite3_close_v2(database);
        return status;
    }
    connection.database = database;
    return {};
}

StoreStatus ConnectionState(TerminalConnection& connection, long& state)
{
    state = connection.database != nullptr ? 1 : 0;  // adStateOpen / adStateClosed
    return {};
}

StoreStatus CloseConnection(TerminalConnection& connection)
{
    if (connection.database == nullptr) {
        return Failure(kFailure, "the connection is closed");
    }
    int result = sqlite3_close_v2(connection.database);
    connection.database = nullptr;
    return result == SQLITE_OK ? StoreStatus{} : SqliteFailure(nullptr, result);
}

StoreStatus OpenRecordset(TerminalRecordset& recordset, TerminalConnection& connection, const char* /*queryText*/,
                          const char* address)
{
    if (connection.database == nullptr) {
        return Failure(kFailure, "the connection is closed");
    }
    sqlite3_stmt* prepared = nullptr;
    int result = sqlite3_prepare_v2(connection.database, kLookup, -1, &prepared, nullptr);
    Statement lookup(prepared);
    if (result != SQLITE_OK) {
        return SqliteFailure(connection.database, result);
    }
    sqlite3_bind_text(lookup.get(), 1, address, -1, SQLITE_TRANSIENT);
    result = sqlite3_step(lookup.get());
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        return SqliteFailure(connection.database, result);
    }
    recordset.connection = &connection;
    recordset.atEnd = result == SQLITE_DONE;
    recordset.state = TerminalRecordset::State::Open;
    return {};
}

StoreStatus RecordsetAtEnd(TerminalRecordset& recordset, bool& atEnd)
{
    if (recordset.state == TerminalRecordset::State::Closed) {
        return Failure(kFailure, "the result set is closed");
    }
    atEnd = recordset.atEnd;
    return {};
}

StoreStatus AddNewRow(TerminalRecordset& recordset)
{
    if (recordset.state == TerminalRecordset::State::Closed) {
        return Failure(kFailure, "the result set is closed");
    }
    recordset.state = TerminalRecordset::State::Adding;
    recordset.newAddress.clear();
    return {};
}

StoreStatus WriteField(TerminalRecordset& recordset, const char* name, const char* value)
{
    if (recordset.state != TerminalRecordset::State::Adding) {
        return Failure(kFailure, "no new row is being added");
    }
    if (name == nullptr || std::strcmp(name, "ip") != 0) {
        return Failure(kInvalidArgument, std::string("no such column: ") + (name == nullptr ? "" : name));
    }
    recordset.newAddress = value == nullptr ? "" : value;
    return {};
}

StoreStatus UpdateRow(TerminalRecordset& recordset)
{
    if (recordset.state != TerminalRecordset::State::Adding) {
        return Failure(kFailure, "no new row is being added");
    }
    sqlite3* database = recordset.connection->database;
    if (database == nullptr) {
        return Failure(kFailure, "the connection is closed");
    }
    sqlite3_stmt* prepared = nullptr;
    int result = sqlite3_prepare_v2(database, kInsert, -1, &prepared, nullptr);
    Statement insert(prepared);
    if (result != SQLITE_OK) {
        return SqliteFailure(database, result);
    }
    sqlite3_bind_text(insert.get(), 1, recordset.newAddress.c_str(), -1, SQLITE_TRANSIENT);
    // Outside a transaction the insert commits on its own, durably.
    result = sqlite3_step(insert.get());
    if (result != SQLITE_DONE) {
        return SqliteFailure(database, result);
    }
    recordset.state = TerminalRecordset::State::Open;
    recordset.atEnd = false;
    return {};
}

StoreStatus CloseRecordset(TerminalRecordset& recordset)
{
    if (recordset.state == TerminalRecordset::State::Closed) {
        return Failure(kFailure, "the result set is closed");
    }
    recordset.state = TerminalRecordset::State::Closed;
    return {};
}

}  // namespace corvel::platform
