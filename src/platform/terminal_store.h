// The store behind the terminal database: ADO with the Jet provider through
// COM on Windows (a Connection and one Recordset per lookup), SQLite on Linux
// (file terminal.db in the state root, table Properties with text column ip).
// Every call reports an HRESULT and, when the store supplied one, its error
// information.
#pragma once

#include <memory>
#include <string>

#include "platform/compat.h"

namespace corvel::platform {

// The error information a failed store call left (IErrorInfo on Windows, the
// SQLite message on Linux).
class StoreErrorInfo {
public:
    virtual ~StoreErrorInfo() = default;
    // The description in the narrow text of the service side (ANSI code page
    // on Windows); empty when the object gives none.
    virtual std::string Description() const = 0;
};

struct StoreStatus {
    HRESULT code = S_OK;
    std::shared_ptr<const StoreErrorInfo> errorInfo;

    bool Failed() const { return code < 0; }
};

// Format of the connection text; %s is TerminalStoreDirectory().
extern const char kConnectionTextFormat[];

// Windows: the executable's directory (its path cut at the last backslash).
// Linux: the state root.
std::string TerminalStoreDirectory();

class TerminalConnection;
class TerminalRecordset;

struct TerminalConnectionDeleter {
    void operator()(TerminalConnection* connection) const;
};
struct TerminalRecordsetDeleter {
    void operator()(TerminalRecordset* recordset) const;
};
using TerminalConnectionPtr = std::unique_ptr<TerminalConnection, TerminalConnectionDeleter>;
using TerminalRecordsetPtr = std::unique_ptr<TerminalRecordset, TerminalRecordsetDeleter>;

// Creating an object (class context 7, OleRun, then the wanted interface)
// gives null when any step fails; no failure is reported at this point.
TerminalConnectionPtr CreateTerminalConnection();
TerminalRecordsetPtr CreateTerminalRecordset();

// Connection: Open(text, "", "", 0); State (0 = closed); Close.
StoreStatus OpenConnection(TerminalConnection& connection, const char* connectionText);
StoreStatus ConnectionState(TerminalConnection& connection, long& state);
StoreStatus CloseConnection(TerminalConnection& connection);

// Result set: Open(query, connection, dynamic, optimistic, text command).
// The query text is what ADO runs; SQLite runs its own statement with the
// address bound as a parameter.
StoreStatus OpenRecordset(TerminalRecordset& recordset, TerminalConnection& connection, const char* queryText,
                          const char* address);
StoreStatus RecordsetAtEnd(TerminalRecordset& recordset, bool& atEnd);
StoreStatus AddNewRow(TerminalRecordset& recordset);
StoreStatus WriteField(TerminalRecordset& recordset, const char* name, const char* value);
// Update writes the new row; on Linux it is committed (durable) on return.
StoreStatus UpdateRow(TerminalRecordset& recordset);
StoreStatus CloseRecordset(TerminalRecordset& recordset);

}  // namespace corvel::platform
