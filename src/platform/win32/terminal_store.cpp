// The terminal database on Windows: ADO with the Jet 4.0 OLE DB provider
// through COM. MinGW's headers do not declare ADO's interfaces, so the
// Connection and Recordset are called through their IDispatch side (every
// ADO interface is dual) by the member names Open, State, Close, EOF, AddNew,
// Collect and Update.
#include "platform/terminal_store.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <ole2.h>

#include <string>

#include "platform/process.h"

namespace corvel::platform {

const char kConnectionTextFormat[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%s\\terminal.mdb";

namespace {

// Published ADO identifiers.
constexpr CLSID kConnectionClass = {0x00000514, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kConnectionInterface = {0x00000550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kConnection15 = {0x00000515, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr CLSID kRecordsetClass = {0x00000535, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kRecordsetInterface = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kRecordset15 = {0x0000050E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

// In-process server, in-process handler or local server.
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
static_assert(kClassContext == 7);

// ADO enumeration values.
constexpr long kDynamicCursor = 2;      // adOpenDynamic
constexpr long kOptimisticLock = 3;     // adLockOptimistic
constexpr long kTextCommand = 1;        // adCmdText
constexpr long kConnectOptionNone = 0;  // adConnectUnspecified
constexpr HRESULT kParameterNotFound = static_cast<HRESULT>(0x80020004);
constexpr HRESULT kFailure = static_cast<HRESULT>(0x80004005);

template <typename Interface>
struct ComReleaser {
    void operator()(Interface* object) const { object->Release(); }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, ComReleaser<Interface>>;

// A VARIANT that clears itself.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&value_); }

    static void Text(VARIANT& target, const char* text)
    {
        VariantInit(&target);
        int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
        if (length > 0) {
            MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
        }
        target.vt = VT_BSTR;
        target.bstrVal = SysAllocString(wide.c_str());
    }
    static void Long(VARIANT& target, long number)
    {
        VariantInit(&target);
        target.vt = VT_I4;
        target.lVal = number;
    }
    static void Omitted(VARIANT& target)
    {
        VariantInit(&target);
        target.vt = VT_ERROR;
        target.scode = kParameterNotFound;
    }
    static void Dispatch(VARIANT& target, IDispatch* object)
    {
        VariantInit(&target);
        target.vt = VT_DISPATCH;
        target.pdispVal = object;
        object->AddRef();  // the variant holds its own reference
    }

    VARIANT* get() { return &value_; }

private:
    VARIANT value_;
};

class ComErrorInfo final : public StoreErrorInfo {
public:
    explicit ComErrorInfo(IErrorInfo* errorInfo) : errorInfo_(errorInfo) {}

    std::string Description() const override
    {
        BSTR description = nullptr;
        if (FAILED(errorInfo_->GetDescription(&description)) || description == nullptr) {
            return {};
        }
        std::string narrow;
        int length = WideCharToMultiByte(CP_ACP, 0, description, static_cast<int>(SysStringLen(description)), nullptr,
                                         0, nullptr, nullptr);
        if (length > 0) {
            narrow.resize(static_cast<std::size_t>(length));
            WideCharToMultiByte(CP_ACP, 0, description, static_cast<int>(SysStringLen(description)), narrow.data(),
                                length, nullptr, nullptr);
        }
        SysFreeString(description);
        return narrow;
    }

private:
    ComPtr<IErrorInfo> errorInfo_;
};

// Creates an ADO object: IUnknown first (the local-server flag is set), made
// running, then asked for the wanted interface. Null when any step fails.
IDispatch* CreateAdoObject(const CLSID& classId, const IID& interfaceId)
{
    IUnknown* unknown = nullptr;
    if (FAILED(CoCreateInstance(classId, nullptr, kClassContext, IID_IUnknown, reinterpret_cast<void**>(&unknown))) ||
        unknown == nullptr) {
        return nullptr;
    }
    IDispatch* object = nullptr;
    if (FAILED(OleRun(unknown)) ||
        FAILED(unknown->QueryInterface(interfaceId, reinterpret_cast<void**>(&object)))) {
        object = nullptr;
    }
    unknown->Release();
    return object;
}

// The status of a failed call: the code, and the thread's error information
// when the object says the interface supports it.
StoreStatus FailureOf(IDispatch* object, const IID& errorInterface, HRESULT code, const EXCEPINFO& exception)
{
    StoreStatus status;
    status.code = code;
    ISupportErrorInfo* support = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
        if (support->InterfaceSupportsErrorInfo(errorInterface) == S_OK) {
            IErrorInfo* errorInfo = nullptr;
            if (GetErrorInfo(0, &errorInfo) == S_OK && errorInfo != nullptr) {
                status.errorInfo = std::make_shared<ComErrorInfo>(errorInfo);
            }
        }
        support->Release();
    }
    // Called through IDispatch, the object may have handed its description
    // to the exception record instead of leaving it for GetErrorInfo.
    if (!status.errorInfo && exception.bstrDescription != nullptr) {
        ICreateErrorInfo* created = nullptr;
        if (SUCCEEDED(CreateErrorInfo(&created)) && created != nullptr) {
            created->SetDescription(exception.bstrDescription);
            IErrorInfo* errorInfo = nullptr;
            if (SUCCEEDED(created->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&errorInfo))) &&
                errorInfo != nullptr) {
                status.errorInfo = std::make_shared<ComErrorInfo>(errorInfo);
            }
            created->Release();
        }
    }
    return status;
}

// Calls a member by name. Arguments are given in their declared order.
StoreStatus Call(IDispatch* object, const IID& errorInterface, const wchar_t* member, WORD kind, VARIANT* arguments,
                 UINT argumentCount, VARIANT* result)
{
    DISPID member_id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    HRESULT code = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &member_id);
    EXCEPINFO exception{};
    if (FAILED(code)) {
        return FailureOf(object, errorInterface, code, exception);
    }
    // IDispatch takes the arguments last first.
    VARIANT reversed[8];
    for (UINT index = 0; index < argumentCount; ++index) {
        reversed[index] = arguments[argumentCount - 1 - index];
    }
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS parameters{};
    parameters.rgvarg = argumentCount > 0 ? reversed : nullptr;
    parameters.cArgs = argumentCount;
    if (kind == DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &putId;
        parameters.cNamedArgs = 1;
    }
    UINT argumentError = 0;
    code = object->Invoke(member_id, IID_NULL, LOCALE_USER_DEFAULT, kind, &parameters, result, &exception,
                          &argumentError);
    if (code == DISP_E_EXCEPTION) {
        if (exception.pfnDeferredFillIn != nullptr) {
            exception.pfnDeferredFillIn(&exception);
        }
        code = exception.scode != 0 ? exception.scode : kFailure;
    }
    StoreStatus status;
    if (FAILED(code)) {
        status = FailureOf(object, errorInterface, code, exception);
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return status;
}

void ClearArguments(VARIANT* arguments, UINT count)
{
    for (UINT index = 0; index < count; ++index) {
        VariantClear(&arguments[index]);
    }
}

}  // namespace

class TerminalConnection {
public:
    explicit TerminalConnection(IDispatch* object) : connection(object) {}
    ComPtr<IDispatch> connection;
};

class TerminalRecordset {
public:
    explicit TerminalRecordset(IDispatch* object) : recordset(object) {}
    ComPtr<IDispatch> recordset;
};

void TerminalConnectionDeleter::operator()(TerminalConnection* connection) const
{
    delete connection;
}

void TerminalRecordsetDeleter::operator()(TerminalRecordset* recordset) const
{
    delete recordset;
}

std::string TerminalStoreDirectory()
{
    std::string path = ModuleFileName();
    std::size_t separator = path.rfind('\\');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

TerminalConnectionPtr CreateTerminalConnection()
{
    IDispatch* object = CreateAdoObject(kConnectionClass, kConnectionInterface);
    return object == nullptr ? TerminalConnectionPtr() : TerminalConnectionPtr(new TerminalConnection(object));
}

TerminalRecordsetPtr CreateTerminalRecordset()
{
    IDispatch* object = CreateAdoObject(kRecordsetClass, kRecordsetInterface);
    return object == nullptr ? TerminalRecordsetPtr() : TerminalRecordsetPtr(new TerminalRecordset(object));
}

StoreStatus OpenConnection(TerminalConnection& connection, const char* connectionText)
{
    VARIANT arguments[4];
    Variant::Text(arguments[0], connectionText);
    Variant::Text(arguments[1], "");
    Variant::Text(arguments[2], "");
    Variant::Long(arguments[3], kConnectOptionNone);
    StoreStatus status =
        Call(connection.connection.get(), kConnection15, L"Open", DISPATCH_METHOD, arguments, 4, nullptr);
    ClearArguments(arguments, 4);
    return status;
}

StoreStatus ConnectionState(TerminalConnection& connection, long& state)
{
    Variant result;
    StoreStatus status =
        Call(connection.connection.get(), kConnection15, L"State", DISPATCH_PROPERTYGET, nullptr, 0, result.get());
    if (!status.Failed()) {
        state = SUCCEEDED(VariantChangeType(result.get(), result.get(), 0, VT_I4)) ? result.get()->lVal : 0;
    }
    return status;
}

StoreStatus CloseConnection(TerminalConnection& connection)
{
    return Call(connection.connection.get(), kConnection15, L"Close", DISPATCH_METHOD, nullptr, 0, nullptr);
}

StoreStatus OpenRecordset(TerminalRecordset& recordset, TerminalConnection& connection, const char* queryText,
                          const char* /*address*/)
{
    VARIANT arguments[5];
    Variant::Text(arguments[0], queryText);
    Variant::Dispatch(arguments[1], connection.connection.get());
    Variant::Long(arguments[2], kDynamicCursor);
    Variant::Long(arguments[3], kOptimisticLock);
    Variant::Long(arguments[4], kTextCommand);
    StoreStatus status =
        Call(recordset.recordset.get(), kRecordset15, L"Open", DISPATCH_METHOD, arguments, 5, nullptr);
    ClearArguments(arguments, 5);
    return status;
}

StoreStatus RecordsetAtEnd(TerminalRecordset& recordset, bool& atEnd)
{
    Variant result;
    StoreStatus status =
        Call(recordset.recordset.get(), kRecordset15, L"EOF", DISPATCH_PROPERTYGET, nullptr, 0, result.get());
    if (!status.Failed()) {
        atEnd = SUCCEEDED(VariantChangeType(result.get(), result.get(), 0, VT_BOOL)) &&
                result.get()->boolVal != VARIANT_FALSE;
    }
    return status;
}

StoreStatus AddNewRow(TerminalRecordset& recordset)
{
    VARIANT arguments[2];
    Variant::Omitted(arguments[0]);
    Variant::Omitted(arguments[1]);
    return Call(recordset.recordset.get(), kRecordset15, L"AddNew", DISPATCH_METHOD, arguments, 2, nullptr);
}

StoreStatus WriteField(TerminalRecordset& recordset, const char* name, const char* value)
{
    VARIANT arguments[2];
    Variant::Text(arguments[0], name);
    Variant::Text(arguments[1], value);
    StoreStatus status =
        Call(recordset.recordset.get(), kRecordset15, L"Collect", DISPATCH_PROPERTYPUT, arguments, 2, nullptr);
    ClearArguments(arguments, 2);
    return status;
}

StoreStatus UpdateRow(TerminalRecordset& recordset)
{
    VARIANT arguments[2];
    Variant::Omitted(arguments[0]);
    Variant::Omitted(arguments[1]);
    return Call(recordset.recordset.get(), kRecordset15, L"Update", DISPATCH_METHOD, arguments, 2, nullptr);
}

StoreStatus CloseRecordset(TerminalRecordset& recordset)
{
    return Call(recordset.recordset.get(), kRecordset15, L"Close", DISPATCH_METHOD, nullptr, 0, nullptr);
}

}  // namespace corvel::platform
