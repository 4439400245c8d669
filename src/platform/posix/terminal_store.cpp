// The terminal database on Linux: SQLite, file <state root>/terminal.db, table
// Properties with the text column ip (indexed), created when absent. A file
// whose Properties the store cannot use still opens; its lookups fail. Every
// insert is its own transaction, committed with a full sync before the call
// returns, so a row whose announcement was handled survives a crash.
#include "platform/terminal_store.h"

#include <sqlite3.h>

#include <cstring>

#include "platform/process.h"
#include "platform/unique_handle.h"

struct corvel::platform::StoreErrorInfo {
    std::string description;
};

namespace corvel::platform {
using DatabaseOwner = UniqueResource<sqlite3*, &sqlite3_close_v2>;
using StatementOwner = UniqueResource<sqlite3_stmt*, &sqlite3_finalize>;
}  // namespace corvel::platform

struct corvel::platform::StoreConnection {
    DatabaseOwner database;
};

struct corvel::platform::StoreResultSet {
    enum class State { closed, open, adding };
    State state = State::closed;
    StoreConnection* connection = nullptr;
    bool atEnd = true;
    bool ipSet = false;
    std::string ip;
};

namespace corvel::platform {

namespace {

constexpr const char kDatabaseFileName[] = "terminal.db";
// Another process holding the file is waited for this long before the
// operation fails as locked.
constexpr int kBusyTimeoutMs = 2000;
// OLE DB's "table not found" (DB_E_NOTABLE), the code Jet gives for a missing table.
constexpr HRESULT kNoTable = MAKE_HRESULT_VALUE(0x80040E37);
// ADO's "operation is not allowed in this context".
constexpr HRESULT kNotAllowed = MAKE_HRESULT_VALUE(0x800A0C93);
// ADO's "item cannot be found in the collection".
constexpr HRESULT kNoSuchField = MAKE_HRESULT_VALUE(0x800A0CC1);

// OLE DB's "no value given for one or more required parameters"
// (DB_E_PARAMNOTOPTIONAL): what Jet answers for a column the table lacks.
constexpr HRESULT kNoColumn = MAKE_HRESULT_VALUE(0x80040E10);

constexpr const char kSchema[] =
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS Properties(ip TEXT);";
// Only a speed-up: a Properties table that cannot take it (no ip column, a
// view, a read-only file) is still opened, and each lookup or insert then
// fails with its own text while the listener goes on.
constexpr const char kIndex[] = "CREATE INDEX IF NOT EXISTS PropertiesIp ON Properties(ip);";
constexpr const char kLookup[] = "SELECT 1 FROM Properties WHERE ip = ?1 LIMIT 1";
constexpr const char kInsert[] = "INSERT INTO Properties(ip) VALUES(?1)";

HRESULT Fail(HRESULT code, std::string description, StoreErrorInfoPtr* error)
{
    if (error != nullptr) {
        *error = std::make_shared<StoreErrorInfo>(StoreErrorInfo{std::move(description)});
    }
    return code;
}

// The failure of an SQLite call on the connection, with SQLite's message.
HRESULT FailFromDatabase(sqlite3* database, int result, StoreErrorInfoPtr* error)
{
    const char* message = database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result);
    std::string description = message != nullptr ? message : "";
    HRESULT code = E_FAIL;
    if ((result & 0xFF) == SQLITE_NOMEM) {
        code = E_OUTOFMEMORY;
    } else if (description.rfind("no such table", 0) == 0) {
        code = kNoTable;
    } else if (description.rfind("no such column", 0) == 0 ||
               description.find("has no column named") != std::string::npos) {
        code = kNoColumn;
    }
    return Fail(code, std::move(description), error);
}

// Prepares, binds the address and runs one statement; the statement is
// finalised before returning (after the failure's message is taken). *row
// tells whether it produced a row.
HRESULT RunWithAddress(sqlite3* database, const char* sql, const std::string& address, bool* row,
                       StoreErrorInfoPtr* error)
{
    StatementOwner statement;
    int result = sqlite3_prepare_v2(database, sql, -1, statement.out(), nullptr);
    if (result != SQLITE_OK) {
        statement.reset();
        return FailFromDatabase(database, result, error);
    }
    result = sqlite3_bind_text(statement.get(), 1, address.c_str(), static_cast<int>(address.size()),
                               SQLITE_TRANSIENT);
    if (result == SQLITE_OK) {
        result = sqlite3_step(statement.get());
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        return FailFromDatabase(database, result, error);
    }
    if (row != nullptr) {
        *row = result == SQLITE_ROW;
    }
    return S_OK;
}

}  // namespace

std::string DescribeStoreError(const StoreErrorInfo* info)
{
    return info == nullptr ? std::string() : info->description;
}

std::string DatabaseDirectory()
{
    return StateRoot();
}

StoreConnection* CreateStoreConnection()
{
    return new (std::nothrow) StoreConnection;
}

void ReleaseStoreConnection(StoreConnection* connection)
{
    delete connection;  // closes the database if it is still open
}

HRESULT OpenStoreConnection(StoreConnection* connection, const char* connectionText, StoreErrorInfoPtr* error)
{
    // The connection text names a Jet file; the SQLite file lies in the same
    // directory, which is the state root.
    if (connection == nullptr) {
        return E_POINTER;
    }
    if (connection->database) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is open.", error);
    }
    std::string path = DatabaseDirectory() + "/" + kDatabaseFileName;
    // SQLite may hand back a handle even when the open fails; the owner closes it.
    DatabaseOwner database;
    int result =
        sqlite3_open_v2(path.c_str(), database.out(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_busy_timeout(database.get(), kBusyTimeoutMs);
        result = sqlite3_exec(database.get(), kSchema, nullptr, nullptr, nullptr);
    }
    if (result == SQLITE_OK) {
        sqlite3_exec(database.get(), kIndex, nullptr, nullptr, nullptr);
    }
    if (result != SQLITE_OK) {
        return FailFromDatabase(database.get(), result, error);
    }
    connection->database = std::move(database);
    return S_OK;
}

HRESULT StoreConnectionState(StoreConnection* connection, std::int32_t* state, StoreErrorInfoPtr* error)
{
    if (connection == nullptr || state == nullptr) {
        return E_POINTER;
    }
    *state = connection->database ? kStoreStateOpen : kStoreStateClosed;
    return S_OK;
}

HRESULT CloseStoreConnection(StoreConnection* connection, StoreErrorInfoPtr* error)
{
    if (connection == nullptr) {
        return E_POINTER;
    }
    if (!connection->database) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is closed.", error);
    }
    connection->database.reset();
    return S_OK;
}

StoreResultSet* CreateStoreResultSet()
{
    return new (std::nothrow) StoreResultSet;
}

void ReleaseStoreResultSet(StoreResultSet* resultSet)
{
    delete resultSet;
}

HRESULT OpenStoreResultSet(StoreResultSet* resultSet, const char* queryText, const char* address,
                           StoreConnection* connection, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || address == nullptr) {
        return E_POINTER;
    }
    if (resultSet->state != StoreResultSet::State::closed) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is open.", error);
    }
    if (connection == nullptr || !connection->database) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is closed.", error);
    }
    bool found = false;
    HRESULT result = RunWithAddress(connection->database.get(), kLookup, address, &found, error);
    if (FAILED(result)) {
        return result;
    }
    resultSet->connection = connection;
    resultSet->atEnd = !found;
    resultSet->ip = address;
    resultSet->ipSet = false;
    resultSet->state = StoreResultSet::State::open;
    return S_OK;
}

HRESULT StoreResultSetAtEnd(StoreResultSet* resultSet, bool* atEnd, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || atEnd == nullptr) {
        return E_POINTER;
    }
    if (resultSet->state == StoreResultSet::State::closed) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is closed.", error);
    }
    *atEnd = resultSet->atEnd;
    return S_OK;
}

HRESULT AddNewStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr) {
        return E_POINTER;
    }
    if (resultSet->state != StoreResultSet::State::open) {
        return Fail(kNotAllowed, "Operation is not allowed in this context.", error);
    }
    resultSet->state = StoreResultSet::State::adding;
    resultSet->ipSet = false;
    resultSet->ip.clear();
    return S_OK;
}

HRESULT SetStoreField(StoreResultSet* resultSet, const char* name, const char* value, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || name == nullptr || value == nullptr) {
        return E_POINTER;
    }
    if (std::strcmp(name, "ip") != 0) {
        return Fail(kNoSuchField, "Item cannot be found in the collection corresponding to the requested name or "
                                  "ordinal.",
                    error);
    }
    if (resultSet->state != StoreResultSet::State::adding) {
        return Fail(kNotAllowed, "Operation is not allowed in this context.", error);
    }
    resultSet->ip = value;
    resultSet->ipSet = true;
    return S_OK;
}

HRESULT UpdateStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr) {
        return E_POINTER;
    }
    if (resultSet->state != StoreResultSet::State::adding || resultSet->connection == nullptr ||
        !resultSet->connection->database) {
        return Fail(kNotAllowed, "Operation is not allowed in this context.", error);
    }
    if (resultSet->ipSet) {
        // Autocommit: the row is on disk when the statement is done.
        HRESULT result = RunWithAddress(resultSet->connection->database.get(), kInsert, resultSet->ip, nullptr, error);
        if (FAILED(result)) {
            return result;
        }
    }
    resultSet->state = StoreResultSet::State::open;
    resultSet->atEnd = false;
    return S_OK;
}

HRESULT CloseStoreResultSet(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr) {
        return E_POINTER;
    }
    if (resultSet->state == StoreResultSet::State::closed) {
        return Fail(kNotAllowed, "Operation is not allowed when the object is closed.", error);
    }
    resultSet->state = StoreResultSet::State::closed;
    resultSet->connection = nullptr;
    return S_OK;
}

}  // namespace corvel::platform
