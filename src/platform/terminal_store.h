// The terminal database's connection and result sets: ADO Connection and
// Recordset objects through COM with the Jet 4.0 provider on Windows; on Linux
// an SQLite file <state root>/terminal.db with the same table Properties and
// the same operations. Every operation returns an HRESULT; a failing one also
// hands back the error information that the failing object supplied, if any.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/compat.h"

namespace corvel::platform {

// The error information object of a failure (IErrorInfo on Windows, the
// SQLite message on Linux). Shared, because a failure is copied as it travels.
struct StoreErrorInfo;
using StoreErrorInfoPtr = std::shared_ptr<StoreErrorInfo>;

// The error information's description in the narrow text of the service side;
// empty when there is none.
std::string DescribeStoreError(const StoreErrorInfo* info);

// Values of the connection's State.
inline constexpr std::int32_t kStoreStateClosed = 0;
inline constexpr std::int32_t kStoreStateOpen = 1;

struct StoreConnection;
struct StoreResultSet;

// Where the database file lies: the executable's directory on Windows, the
// state root on Linux. Without a trailing separator.
std::string DatabaseDirectory();

// Creates a connection object; null when it cannot be created.
StoreConnection* CreateStoreConnection();
void ReleaseStoreConnection(StoreConnection* connection);
// Opens the database named by the connection text (empty user and password, option 0).
HRESULT OpenStoreConnection(StoreConnection* connection, const char* connectionText, StoreErrorInfoPtr* error);
HRESULT StoreConnectionState(StoreConnection* connection, std::int32_t* state, StoreErrorInfoPtr* error);
HRESULT CloseStoreConnection(StoreConnection* connection, StoreErrorInfoPtr* error);

// Creates a result-set object; null when it cannot be created.
StoreResultSet* CreateStoreResultSet();
void ReleaseStoreResultSet(StoreResultSet* resultSet);
// Opens the rows of Properties whose ip is address over the connection
// (dynamic cursor, optimistic lock, text command). queryText is the SQL text
// that names the address; on Linux the statement binds address instead.
HRESULT OpenStoreResultSet(StoreResultSet* resultSet, const char* queryText, const char* address,
                           StoreConnection* connection, StoreErrorInfoPtr* error);
// EOF: true when the result set holds no row.
HRESULT StoreResultSetAtEnd(StoreResultSet* resultSet, bool* atEnd, StoreErrorInfoPtr* error);
// AddNew and Update with both arguments omitted; the field write is Collect.
HRESULT AddNewStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error);
HRESULT SetStoreField(StoreResultSet* resultSet, const char* name, const char* value, StoreErrorInfoPtr* error);
HRESULT UpdateStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error);
HRESULT CloseStoreResultSet(StoreResultSet* resultSet, StoreErrorInfoPtr* error);

}  // namespace corvel::platform
