// ado_standin.dll: an in-process COM server that Windows tests register in
// their Wine prefix under ADO's Connection and Recordset class ids, since Wine
// has no Jet provider. It answers the calls of the terminal database over a
// plain file of addresses (terminal_file.h) and is written against the SDK's
// adoint.h / adoid.h alone, so that a slot, argument or calling-convention
// fault of the product's ADO calls shows here as a failure or a crash.
//
// What it answers, and how strictly:
//   Connection: Open (Provider=Microsoft.Jet.OLEDB.4.0, Data Source=<file>,
//     empty user and password, option 0 or unspecified), State, Close.
//   Recordset: Open (the text "SELECT * FROM <table> WHERE <column>='<value>'"
//     over an open Connection of this server, dynamic cursor, optimistic lock,
//     text command), EOF, AddNew and Update with both arguments omitted,
//     Collect (write) of the field ip, Close.
//   Every other member returns E_NOTIMPL. Every failure sets the thread's
//   error information with a description, as the Jet provider does, and both
//   objects answer ISupportErrorInfo for their interfaces.
// The connection holds the file open (shared read and write) from Open to
// Close; a file that another holder keeps exclusively cannot be opened.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <adoint.h>

#include <initguid.h>

#include <adoid.h>

#include <cwctype>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "windows/ado/terminal_file.h"

namespace {

using corvel::testing::ado::kTerminalFileHeader;
using corvel::testing::ado::kTerminalFileMagic;
using corvel::testing::ado::kTerminalFileMaxBytes;

HINSTANCE moduleHandle = nullptr;
LONG liveObjects = 0;
LONG serverLocks = 0;

// Found only by this server's Recordset: the Connection object behind an
// IDispatch, when it is one of ours.
constexpr IID kStandinConnectionId = {0x6a1c2e54, 0x3b0d, 0x4f7e, {0x9c, 0x21, 0x5d, 0x8e, 0x40, 0x13, 0xa7, 0x6b}};

// Failure codes as ADO and the Jet provider report them.
constexpr HRESULT kArgumentsWrong = static_cast<HRESULT>(0x800A0BB9);     // adErrInvalidArgument
constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);    // adErrNoCurrentRecord
constexpr HRESULT kNotAllowed = static_cast<HRESULT>(0x800A0C93);         // adErrIllegalOperation
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);       // adErrItemNotFound
constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x800A0E78);       // adErrObjectClosed
constexpr HRESULT kObjectOpen = static_cast<HRESULT>(0x800A0E79);         // adErrObjectOpen
constexpr HRESULT kProviderNotFound = static_cast<HRESULT>(0x800A0E7A);   // adErrProviderNotFound
constexpr HRESULT kInvalidConnection = static_cast<HRESULT>(0x800A0E7D);  // adErrInvalidConnection
constexpr HRESULT kNoTable = static_cast<HRESULT>(0x80040E37);            // DB_E_NOTABLE
constexpr HRESULT kSyntaxError = static_cast<HRESULT>(0x80040E14);        // DB_E_ERRORSINCOMMAND
constexpr HRESULT kMissingParameter = static_cast<HRESULT>(0x80040E10);   // DB_E_PARAMNOTOPTIONAL

constexpr wchar_t kProvider[] = L"Microsoft.Jet.OLEDB.4.0";
constexpr wchar_t kErrorSource[] = L"Microsoft JET Database Engine";
constexpr wchar_t kTable[] = L"Properties";
constexpr wchar_t kColumn[] = L"ip";
// A Jet text column holds at most this many characters.
constexpr std::size_t kMaxFieldCharacters = 255;

struct Failure {
    HRESULT code;
    std::wstring description;
};

// Sets the thread's error information for a failure of the interface and
// returns its code.
HRESULT Report(const IID& interfaceId, const Failure& failure)
{
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetGUID(interfaceId);
        create->SetSource(const_cast<LPOLESTR>(kErrorSource));
        create->SetDescription(const_cast<LPOLESTR>(failure.description.c_str()));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return failure.code;
}

wchar_t FoldCase(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameText(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

std::wstring_view Trim(std::wstring_view text)
{
    while (!text.empty() && text.front() == L' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == L' ') {
        text.remove_suffix(1);
    }
    return text;
}

std::wstring FromBstr(BSTR text)
{
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring Widen(std::string_view text)
{
    return std::wstring(text.begin(), text.end());
}

// The text in the ANSI code page, as the file holds it; false when a
// character has no single-byte form there.
bool Narrow(const std::wstring& text, std::string* narrow)
{
    narrow->clear();
    if (text.empty()) {
        return true;
    }
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy) {
        return false;
    }
    narrow->resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow->data(), bytes, nullptr, nullptr);
    return true;
}

bool IsOmitted(const VARIANT& argument)
{
    return argument.vt == VT_ERROR && argument.scode == DISP_E_PARAMNOTFOUND;
}

std::wstring Number(long value)
{
    return std::to_wstring(value);
}

// The open database file.
class TerminalFile {
public:
    TerminalFile() = default;
    TerminalFile(const TerminalFile&) = delete;
    TerminalFile& operator=(const TerminalFile&) = delete;
    ~TerminalFile() { Close(); }

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    HRESULT Open(const std::wstring& path, Failure* failure)
    {
        path_ = path;
        handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                *failure = {E_FAIL, L"Could not find file '" + path + L"'."};
            } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
                *failure = {E_FAIL, L"Could not use '" + path + L"'; file already in use."};
            } else {
                *failure = {E_FAIL, L"Could not open '" + path + L"' (system error " + Number(error) + L")."};
            }
            return failure->code;
        }
        std::vector<std::string> rows;
        bool hasTable = false;
        HRESULT result = Read(&rows, &hasTable, nullptr, failure);
        if (FAILED(result)) {
            Close();
        }
        return result;
    }

    void Close()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

    // Reads the whole file: its rows, whether it holds the table, and whether
    // its last line is ended.
    HRESULT Read(std::vector<std::string>* rows, bool* hasTable, bool* endsWithLineEnd, Failure* failure)
    {
        std::string content;
        LARGE_INTEGER size = {};
        LARGE_INTEGER start = {};
        if (!GetFileSizeEx(handle_, &size) || !SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) {
            return Unreadable(failure);
        }
        if (size.QuadPart <= 0 || size.QuadPart > static_cast<LONGLONG>(kTerminalFileMaxBytes)) {
            return NotADatabase(failure);
        }
        content.resize(static_cast<std::size_t>(size.QuadPart));
        std::size_t filled = 0;
        while (filled < content.size()) {
            DWORD got = 0;
            if (!ReadFile(handle_, content.data() + filled, static_cast<DWORD>(content.size() - filled), &got, nullptr)) {
                return Unreadable(failure);
            }
            if (got == 0) {
                break;
            }
            filled += got;
        }
        content.resize(filled);

        std::vector<std::string> lines;
        std::size_t begin = 0;
        while (begin < content.size()) {
            std::size_t end = content.find('\n', begin);
            std::string line = content.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
            begin = end == std::string::npos ? content.size() : end + 1;
        }
        if (lines.empty() || lines[0].rfind(kTerminalFileMagic, 0) != 0 ||
            content.find('\0') != std::string::npos) {
            return NotADatabase(failure);
        }
        std::wstring tables = Widen(lines[0].substr(sizeof kTerminalFileMagic - 1));
        *hasTable = SameText(Trim(tables), Trim(Widen(kTerminalFileHeader + sizeof kTerminalFileMagic - 1)));
        rows->clear();
        for (std::size_t i = 1; i < lines.size(); ++i) {
            if (!lines[i].empty()) {
                rows->push_back(lines[i]);
            }
        }
        if (endsWithLineEnd != nullptr) {
            *endsWithLineEnd = content.back() == '\n';
        }
        return S_OK;
    }

    // Adds a row at the end, written through before the call returns.
    HRESULT Append(const std::string& value, Failure* failure)
    {
        std::vector<std::string> rows;
        bool hasTable = false;
        bool ended = true;
        HRESULT result = Read(&rows, &hasTable, &ended, failure);
        if (FAILED(result)) {
            return result;
        }
        if (!hasTable) {
            return NoTable(kTable, failure);
        }
        std::string line = (ended ? "" : "\r\n") + value + "\r\n";
        LARGE_INTEGER end = {};
        DWORD written = 0;
        if (!SetFilePointerEx(handle_, end, nullptr, FILE_END) ||
            !WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
            written != line.size() || !FlushFileBuffers(handle_)) {
            *failure = {E_FAIL, L"Disk or network error (system error " + Number(GetLastError()) + L")."};
            return failure->code;
        }
        return S_OK;
    }

    static HRESULT NoTable(const std::wstring& table, Failure* failure)
    {
        *failure = {kNoTable, L"The Microsoft Jet database engine cannot find the input table or query '" + table +
                                  L"'.  Make sure it exists and that its name is spelled correctly."};
        return failure->code;
    }

private:
    HRESULT NotADatabase(Failure* failure)
    {
        *failure = {E_FAIL, L"Unrecognized database format '" + path_ + L"'."};
        return failure->code;
    }

    HRESULT Unreadable(Failure* failure)
    {
        *failure = {E_FAIL, L"Disk or network error (system error " + Number(GetLastError()) + L")."};
        return failure->code;
    }

    std::wstring path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// IUnknown, IDispatch, _ADO and ISupportErrorInfo for both objects.
template <typename Interface>
class AdoObject : public Interface, public ISupportErrorInfo {
public:
    AdoObject() { InterlockedIncrement(&liveObjects); }
    virtual ~AdoObject() { InterlockedDecrement(&liveObjects); }
    AdoObject(const AdoObject&) = delete;
    AdoObject& operator=(const AdoObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (id == IID_IUnknown || id == IID_IDispatch || id == IID__ADO || Answers(id)) {
            *object = static_cast<Interface*>(this);
        } else if (id == IID_ISupportErrorInfo) {
            *object = static_cast<ISupportErrorInfo*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID id) override
    {
        return Answers(id) ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count != nullptr) {
            *count = 0;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Properties(ADOProperties**) override { return E_NOTIMPL; }

protected:
    // The object's own interfaces, which also support error information.
    virtual bool Answers(REFIID id) const = 0;

private:
    LONG references_ = 1;
};

class Connection final : public AdoObject<_ADOConnection> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (object != nullptr && id == kStandinConnectionId) {
            *object = static_cast<_ADOConnection*>(this);
            AddRef();
            return S_OK;
        }
        return AdoObject::QueryInterface(id, object);
    }

    HRESULT STDMETHODCALLTYPE Open(BSTR connectionString, BSTR userId, BSTR password, long options) override
    {
        SetErrorInfo(0, nullptr);
        if (file_.IsOpen()) {
            return Fail({kObjectOpen, L"Operation is not allowed when the object is open."});
        }
        std::wstring provider;
        std::wstring dataSource;
        std::wstring text = FromBstr(connectionString);
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find(L';', begin);
            std::wstring_view pair = std::wstring_view(text).substr(begin, end == std::wstring::npos ? end : end - begin);
            std::size_t equals = pair.find(L'=');
            if (equals != std::wstring_view::npos) {
                std::wstring_view key = Trim(pair.substr(0, equals));
                std::wstring value(Trim(pair.substr(equals + 1)));
                if (SameText(key, L"Provider")) {
                    provider = value;
                } else if (SameText(key, L"Data Source")) {
                    dataSource = value;
                }
            } else if (!Trim(pair).empty()) {
                return Fail({kArgumentsWrong, L"The connection string holds a piece that is not "
                                              L"a key=value pair: '" + std::wstring(pair) + L"'."});
            }
            begin = end == std::wstring::npos ? text.size() : end + 1;
        }
        if (!SameText(provider, kProvider)) {
            return Fail({kProviderNotFound, L"Provider cannot be found. It may not be properly installed."});
        }
        if (!FromBstr(userId).empty() || !FromBstr(password).empty()) {
            return Fail({kArgumentsWrong, L"The stand-in opens its file without a user name and password."});
        }
        if (options != 0 && options != adConnectUnspecified) {
            return Fail({kArgumentsWrong, L"Arguments are of the wrong type, are out of acceptable range, or are in "
                                          L"conflict with one another (connection option " + Number(options) + L")."});
        }
        if (dataSource.empty()) {
            return Fail({E_FAIL, L"Could not find file ''."});
        }
        Failure failure;
        if (FAILED(file_.Open(dataSource, &failure))) {
            return Fail(failure);
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override
    {
        SetErrorInfo(0, nullptr);
        if (state == nullptr) {
            return Fail({E_POINTER, L"Invalid pointer."});
        }
        *state = file_.IsOpen() ? adStateOpen : adStateClosed;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Close() override
    {
        SetErrorInfo(0, nullptr);
        if (!file_.IsOpen()) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        file_.Close();
        return S_OK;
    }

    TerminalFile& File() { return file_; }

    // Members the terminal database does not call.
    HRESULT STDMETHODCALLTYPE get_ConnectionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ConnectionString(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CommandTimeout(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_CommandTimeout(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ConnectionTimeout(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ConnectionTimeout(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Version(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Execute(BSTR, VARIANT*, long, _ADORecordset**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginTrans(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CommitTrans() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RollbackTrans() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Errors(ADOErrors**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DefaultDatabase(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_DefaultDatabase(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IsolationLevel(IsolationLevelEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IsolationLevel(IsolationLevelEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Attributes(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Attributes(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CursorLocation(CursorLocationEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_CursorLocation(CursorLocationEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Mode(ConnectModeEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Mode(ConnectModeEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Provider(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Provider(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenSchema(SchemaEnum, VARIANT, VARIANT, _ADORecordset**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return E_NOTIMPL; }

protected:
    bool Answers(REFIID id) const override { return id == IID_IADOConnection15 || id == IID_IADOConnection; }

private:
    HRESULT Fail(const Failure& failure) { return Report(IID_IADOConnection15, failure); }

    TerminalFile file_;
};

class Recordset final : public AdoObject<_ADORecordset> {
public:
    ~Recordset() override { Detach(); }

    HRESULT STDMETHODCALLTYPE Open(VARIANT source, VARIANT activeConnection, CursorTypeEnum cursorType,
                                   LockTypeEnum lockType, LONG options) override
    {
        SetErrorInfo(0, nullptr);
        if (state_ != State::closed) {
            return Fail({kObjectOpen, L"Operation is not allowed when the object is open."});
        }
        if (cursorType != adOpenDynamic || lockType != adLockOptimistic || options != adCmdText) {
            return Fail({kArgumentsWrong, L"Arguments are of the wrong type, are out of acceptable range, or are in "
                                          L"conflict with one another (cursor type " + Number(cursorType) +
                                          L", lock type " + Number(lockType) + L", options " + Number(options) +
                                          L")."});
        }
        if (source.vt != VT_BSTR) {
            return Fail({kArgumentsWrong, L"The source is not a string (variant type " + Number(source.vt) + L")."});
        }
        Connection* connection = nullptr;
        if (activeConnection.vt == VT_DISPATCH && activeConnection.pdispVal != nullptr) {
            void* found = nullptr;
            if (SUCCEEDED(activeConnection.pdispVal->QueryInterface(kStandinConnectionId, &found))) {
                connection = static_cast<Connection*>(static_cast<_ADOConnection*>(found));
            }
        }
        if (connection == nullptr || !connection->File().IsOpen()) {
            if (connection != nullptr) {
                connection->Release();
            }
            return Fail({kInvalidConnection, L"The connection cannot be used to perform this operation. It is "
                                             L"either closed or invalid in this context."});
        }
        connection_ = connection;

        std::wstring query = FromBstr(source.bstrVal);
        std::wstring table;
        std::wstring column;
        std::wstring value;
        if (!ParseQuery(query, &table, &column, &value)) {
            Detach();
            return Fail({kSyntaxError, L"Syntax error in query expression '" + query + L"'."});
        }
        std::vector<std::string> rows;
        bool hasTable = false;
        Failure failure;
        if (FAILED(connection_->File().Read(&rows, &hasTable, nullptr, &failure))) {
            Detach();
            return Fail(failure);
        }
        if (!hasTable || !SameText(table, kTable)) {
            Detach();
            TerminalFile::NoTable(table, &failure);
            return Fail(failure);
        }
        if (!SameText(column, kColumn)) {
            Detach();
            return Fail({kMissingParameter, L"No value given for one or more required parameters."});
        }
        std::string narrowValue;
        atEnd_ = true;
        if (Narrow(value, &narrowValue)) {
            for (const std::string& row : rows) {
                if (SameText(Widen(row), Widen(narrowValue))) {
                    atEnd_ = false;
                }
            }
        }
        state_ = State::open;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* atEnd) override
    {
        SetErrorInfo(0, nullptr);
        if (atEnd == nullptr) {
            return Fail({E_POINTER, L"Invalid pointer."});
        }
        if (state_ == State::closed) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        // While a new row is edited it is the current one.
        *atEnd = state_ == State::open && atEnd_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddNew(VARIANT fieldList, VARIANT values) override
    {
        SetErrorInfo(0, nullptr);
        if (state_ == State::closed) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        if (!IsOmitted(fieldList) || !IsOmitted(values)) {
            return Fail({kArgumentsWrong, L"The stand-in adds rows only with both arguments of AddNew omitted."});
        }
        state_ = State::adding;
        pending_.clear();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE put_Collect(VARIANT index, VARIANT value) override
    {
        SetErrorInfo(0, nullptr);
        if (state_ == State::closed) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        if (index.vt != VT_BSTR || !SameText(FromBstr(index.bstrVal), kColumn)) {
            return Fail({kItemNotFound, L"Item cannot be found in the collection corresponding to the requested "
                                        L"name or ordinal."});
        }
        if (state_ != State::adding) {
            return Fail({kNoCurrentRecord, L"Either BOF or EOF is True, or the current record has been deleted. "
                                           L"Requested operation requires a current record."});
        }
        std::string text;
        if (value.vt != VT_BSTR || !Narrow(FromBstr(value.bstrVal), &text)) {
            return Fail({kArgumentsWrong, L"The value of the field ip is not a string of the code page."});
        }
        if (text.size() > kMaxFieldCharacters || text.find_first_of("\r\n") != std::string::npos) {
            return Fail({E_FAIL, L"The field is too small to accept the amount of data you attempted to add."});
        }
        pending_ = text;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Update(VARIANT fields, VARIANT values) override
    {
        SetErrorInfo(0, nullptr);
        if (state_ == State::closed) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        if (!IsOmitted(fields) || !IsOmitted(values)) {
            return Fail({kArgumentsWrong, L"The stand-in updates rows only with both arguments of Update omitted."});
        }
        if (state_ != State::adding) {
            return Fail({kNotAllowed, L"Operation is not allowed in this context."});
        }
        if (pending_.empty()) {
            return Fail({E_FAIL, L"Field 'Properties.ip' cannot be a zero-length string."});
        }
        Failure failure;
        if (FAILED(connection_->File().Append(pending_, &failure))) {
            return Fail(failure);
        }
        state_ = State::open;
        atEnd_ = false;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Close() override
    {
        SetErrorInfo(0, nullptr);
        if (state_ == State::closed) {
            return Fail({kObjectClosed, L"Operation is not allowed when the object is closed."});
        }
        Detach();
        state_ = State::closed;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override
    {
        if (state == nullptr) {
            return E_POINTER;
        }
        *state = state_ == State::closed ? adStateClosed : adStateOpen;
        return S_OK;
    }

    // Members the terminal database does not call.
    HRESULT STDMETHODCALLTYPE get_AbsolutePosition(PositionEnum_Param*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AbsolutePosition(PositionEnum_Param) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE putref_ActiveConnection(IDispatch*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ActiveConnection(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ActiveConnection(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_BOF(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Bookmark(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Bookmark(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CacheSize(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_CacheSize(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CursorType(CursorTypeEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_CursorType(CursorTypeEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Fields(ADOFields**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_LockType(LockTypeEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_LockType(LockTypeEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_MaxRecords(ADO_LONGPTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_MaxRecords(ADO_LONGPTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RecordCount(ADO_LONGPTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE putref_Source(IDispatch*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Source(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Source(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelUpdate() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(AffectEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRows(long, VARIANT, VARIANT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Move(ADO_LONGPTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveNext() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MovePrevious() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveFirst() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveLast() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Requery(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE _xResync(AffectEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AbsolutePage(PositionEnum_Param*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AbsolutePage(PositionEnum_Param) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_EditMode(EditModeEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Filter(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Filter(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_PageCount(ADO_LONGPTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_PageSize(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_PageSize(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Sort(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Sort(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Status(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE _xClone(_ADORecordset**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UpdateBatch(AffectEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelBatch(AffectEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CursorLocation(CursorLocationEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_CursorLocation(CursorLocationEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextRecordset(VARIANT*, _ADORecordset**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Supports(CursorOptionEnum, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Collect(VARIANT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_MarshalOptions(MarshalOptionsEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_MarshalOptions(MarshalOptionsEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Find(BSTR, ADO_LONGPTR, SearchDirectionEnum, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DataSource(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE putref_DataSource(IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE _xSave(BSTR, PersistFormatEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ActiveCommand(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_StayInSync(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_StayInSync(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetString(StringFormatEnum, long, BSTR, BSTR, BSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DataMember(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_DataMember(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompareBookmarks(VARIANT, VARIANT, CompareEnum*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(LockTypeEnum, _ADORecordset**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resync(AffectEnum, ResyncEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(VARIANT, SeekEnum) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Index(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Index(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(VARIANT, PersistFormatEnum) override { return E_NOTIMPL; }

protected:
    bool Answers(REFIID id) const override
    {
        return id == IID_IADORecordset15 || id == IID_IADORecordset20 || id == IID_IADORecordset21 ||
               id == IID_IADORecordset;
    }

private:
    enum class State { closed, open, adding };

    HRESULT Fail(const Failure& failure) { return Report(IID_IADORecordset15, failure); }

    void Detach()
    {
        if (connection_ != nullptr) {
            connection_->Release();
            connection_ = nullptr;
        }
    }

    // "SELECT * FROM <table> WHERE <column>='<value>'", keywords in any case,
    // the value without quotes of its own.
    static bool ParseQuery(const std::wstring& query, std::wstring* table, std::wstring* column, std::wstring* value)
    {
        std::wstring_view rest(query);
        auto keyword = [&rest](std::wstring_view word) {
            if (rest.size() < word.size() || !SameText(rest.substr(0, word.size()), word)) {
                return false;
            }
            rest.remove_prefix(word.size());
            return true;
        };
        auto name = [&rest](std::wstring* out) {
            std::size_t length = 0;
            while (length < rest.size() && (iswalnum(rest[length]) || rest[length] == L'_')) {
                ++length;
            }
            *out = std::wstring(rest.substr(0, length));
            rest.remove_prefix(length);
            return length > 0;
        };
        if (!keyword(L"SELECT * FROM ") || !name(table) || !keyword(L" WHERE ") || !name(column) || !keyword(L"='")) {
            return false;
        }
        std::size_t quote = rest.find(L'\'');
        if (quote == std::wstring_view::npos || quote + 1 != rest.size()) {
            return false;
        }
        *value = std::wstring(rest.substr(0, quote));
        return true;
    }

    State state_ = State::closed;
    Connection* connection_ = nullptr;
    bool atEnd_ = true;
    std::string pending_;
};

template <typename Object>
class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (id == IID_IUnknown || id == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factories are static: they count no references.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* created = new (std::nothrow) Object;
        if (created == nullptr) {
            return E_OUTOFMEMORY;
        }
        HRESULT result = created->QueryInterface(id, object);
        created->Release();
        return result;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock) {
            InterlockedIncrement(&serverLocks);
        } else {
            InterlockedDecrement(&serverLocks);
        }
        return S_OK;
    }
};

ClassFactory<Connection> connectionFactory;
ClassFactory<Recordset> recordsetFactory;

struct RegisteredClass {
    const CLSID* id;
    const wchar_t* name;
};

const RegisteredClass kClasses[] = {
    {&CLSID_CADOConnection, L"Corvel ADO stand-in: Connection"},
    {&CLSID_CADORecordset, L"Corvel ADO stand-in: Recordset"},
};

std::wstring ClassKey(const CLSID& id)
{
    wchar_t text[40] = {};
    StringFromGUID2(id, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

bool SetValue(HKEY key, const wchar_t* name, const std::wstring& value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        moduleHandle = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID id, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (classId == CLSID_CADOConnection) {
        return connectionFactory.QueryInterface(id, object);
    }
    if (classId == CLSID_CADORecordset) {
        return recordsetFactory.QueryInterface(id, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

// Registers both classes, in place of ADO's, with this file as their
// in-process server (apartment threaded, as ADO's are by default).
HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(moduleHandle, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return SELFREG_E_CLASS;
    }
    for (const RegisteredClass& registered : kClasses) {
        HKEY classKey = nullptr;
        HKEY serverKey = nullptr;
        std::wstring name = ClassKey(*registered.id);
        bool written = RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &classKey,
                                       nullptr) == ERROR_SUCCESS &&
                       SetValue(classKey, nullptr, registered.name) &&
                       RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &serverKey,
                                       nullptr) == ERROR_SUCCESS &&
                       SetValue(serverKey, nullptr, path) && SetValue(serverKey, L"ThreadingModel", L"Apartment");
        if (serverKey != nullptr) {
            RegCloseKey(serverKey);
        }
        if (classKey != nullptr) {
            RegCloseKey(classKey);
        }
        if (!written) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    for (const RegisteredClass& registered : kClasses) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(*registered.id).c_str());
    }
    return S_OK;
}

// The number of Connection and Recordset objects alive.
long AdoStandinObjectCount()
{
    return liveObjects;
}

}  // extern "C"
