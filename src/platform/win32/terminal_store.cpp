// The terminal database on Windows: ADO Connection and Recordset objects
// through COM, called through their own interfaces (_Connection, _Recordset)
// as the SDK's adoint.h declares them. The class and interface identifiers
// are the published ADO 2.x values.
//
// adoint.h holds six stray declarations that GCC accepts only with
// -fpermissive, so this file alone is compiled with it; -Werror keeps our own
// code strict all the same.
#include "platform/terminal_store.h"

#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <oleauto.h>

#include <adoint.h>

#include "platform/com_ref.h"
#include "platform/process.h"
#include "platform/text_conversion.h"

struct corvel::platform::StoreErrorInfo {
    ComRef<IErrorInfo> info;
};

struct corvel::platform::StoreConnection {
    ComRef<_Connection> object;
};

struct corvel::platform::StoreResultSet {
    ComRef<_Recordset> object;
};

namespace corvel::platform {

namespace {

constexpr CLSID kConnectionClass = {0x00000514, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kConnectionInterface = {0x00000550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kConnection15Interface = {0x00000515, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr CLSID kRecordsetClass = {0x00000535, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kRecordsetInterface = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr IID kRecordset15Interface = {0x0000050E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

// In-process server, in-process handler or local server.
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
static_assert(kClassContext == 7);

constexpr CursorTypeEnum kDynamicCursor = adOpenDynamic;
constexpr LockTypeEnum kOptimisticLock = adLockOptimistic;
constexpr LONG kTextCommand = adCmdText;
constexpr long kConnectOption = 0;
static_assert(kDynamicCursor == 2 && kOptimisticLock == 3 && kTextCommand == 1);

// Creates the object for IUnknown, makes it running and asks it for the
// wanted interface; null when any step fails.
template <typename Interface>
ComRef<Interface> CreateAdoObject(const CLSID& classId, const IID& interfaceId)
{
    ComRef<IUnknown> unknown;
    if (FAILED(CoCreateInstance(classId, nullptr, kClassContext, IID_IUnknown, unknown.outVoid())) || !unknown) {
        return {};
    }
    ComRef<Interface> wanted;
    if (SUCCEEDED(OleRun(unknown.get()))) {
        if (FAILED(unknown->QueryInterface(interfaceId, wanted.outVoid()))) {
            wanted.release();  // a failing QueryInterface hands back no reference
        }
    }
    return wanted;
}

// The store's record around a new ADO object; null when either cannot be made.
template <typename Store, typename Interface>
Store* CreateStoreObject(const CLSID& classId, const IID& interfaceId)
{
    ComRef<Interface> object = CreateAdoObject<Interface>(classId, interfaceId);
    return object ? new (std::nothrow) Store{std::move(object)} : nullptr;
}

// After a failing call: the thread's error information, when the object says
// that the named interface supports it.
HRESULT Raise(IUnknown* object, const IID& interfaceId, HRESULT code, StoreErrorInfoPtr* error)
{
    if (error == nullptr || object == nullptr) {
        return code;
    }
    ComRef<ISupportErrorInfo> support;
    if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.outVoid())) && support) {
        if (support->InterfaceSupportsErrorInfo(interfaceId) == S_OK) {
            ComRef<IErrorInfo> info;
            if (GetErrorInfo(0, info.out()) == S_OK && info) {
                *error = std::make_shared<StoreErrorInfo>(StoreErrorInfo{std::move(info)});
            }
        }
    }
    return code;
}

// A VARIANT that clears itself.
struct Variant {
    VARIANT value;
    Variant() { VariantInit(&value); }
    ~Variant() { VariantClear(&value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// The narrow text as a string variant; false when out of memory.
bool MakeStringVariant(Variant& variant, const char* text)
{
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    BSTR string = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1));
    if (string == nullptr) {
        return false;
    }
    MultiByteToWideChar(CP_ACP, 0, text, -1, string, units);
    variant.value.vt = VT_BSTR;
    variant.value.bstrVal = string;
    return true;
}

// The argument left out: the error variant "parameter not found".
void MakeOmitted(Variant& variant)
{
    variant.value.vt = VT_ERROR;
    variant.value.scode = DISP_E_PARAMNOTFOUND;
}

}  // namespace

std::string DescribeStoreError(const StoreErrorInfo* info)
{
    if (info == nullptr || !info->info) {
        return std::string();
    }
    UniqueBstr description;
    if (FAILED(info->info->GetDescription(description.out())) || description.get() == nullptr) {
        return std::string();
    }
    return WideToNarrow(description.get(), description.length());
}

std::string DatabaseDirectory()
{
    // The executable's path cut off at its last backslash.
    std::string path = ModuleFileName();
    std::size_t separator = path.find_last_of('\\');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

StoreConnection* CreateStoreConnection()
{
    return CreateStoreObject<StoreConnection, _Connection>(kConnectionClass, kConnectionInterface);
}

void ReleaseStoreConnection(StoreConnection* connection)
{
    delete connection;
}

HRESULT OpenStoreConnection(StoreConnection* connection, const char* connectionText, StoreErrorInfoPtr* error)
{
    if (connection == nullptr || !connection->object) {
        return E_POINTER;
    }
    Variant text;
    if (!MakeStringVariant(text, connectionText)) {
        return E_OUTOFMEMORY;
    }
    UniqueBstr empty(SysAllocString(L""));
    if (empty.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = connection->object->Open(text.value.bstrVal, empty.get(), empty.get(), kConnectOption);
    return FAILED(result) ? Raise(connection->object.get(), kConnection15Interface, result, error) : result;
}

HRESULT StoreConnectionState(StoreConnection* connection, std::int32_t* state, StoreErrorInfoPtr* error)
{
    if (connection == nullptr || !connection->object || state == nullptr) {
        return E_POINTER;
    }
    LONG value = 0;
    HRESULT result = connection->object->get_State(&value);
    if (FAILED(result)) {
        return Raise(connection->object.get(), kConnection15Interface, result, error);
    }
    *state = value;
    return result;
}

HRESULT CloseStoreConnection(StoreConnection* connection, StoreErrorInfoPtr* error)
{
    if (connection == nullptr || !connection->object) {
        return E_POINTER;
    }
    HRESULT result = connection->object->Close();
    return FAILED(result) ? Raise(connection->object.get(), kConnection15Interface, result, error) : result;
}

StoreResultSet* CreateStoreResultSet()
{
    return CreateStoreObject<StoreResultSet, _Recordset>(kRecordsetClass, kRecordsetInterface);
}

void ReleaseStoreResultSet(StoreResultSet* resultSet)
{
    delete resultSet;
}

HRESULT OpenStoreResultSet(StoreResultSet* resultSet, const char* queryText, const char* address,
                           StoreConnection* connection, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object) {
        return E_POINTER;
    }
    Variant source;
    if (!MakeStringVariant(source, queryText)) {
        return E_OUTOFMEMORY;
    }
    // The connection as an IDispatch variant that holds its own reference.
    Variant activeConnection;
    activeConnection.value.vt = VT_DISPATCH;
    activeConnection.value.pdispVal = connection != nullptr ? connection->object.get() : nullptr;
    if (activeConnection.value.pdispVal != nullptr) {
        activeConnection.value.pdispVal->AddRef();
    }
    HRESULT result =
        resultSet->object->Open(source.value, activeConnection.value, kDynamicCursor, kOptimisticLock, kTextCommand);
    return FAILED(result) ? Raise(resultSet->object.get(), kRecordset15Interface, result, error) : result;
}

HRESULT StoreResultSetAtEnd(StoreResultSet* resultSet, bool* atEnd, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object || atEnd == nullptr) {
        return E_POINTER;
    }
    VARIANT_BOOL value = VARIANT_FALSE;
    HRESULT result = resultSet->object->get_EOF(&value);
    if (FAILED(result)) {
        return Raise(resultSet->object.get(), kRecordset15Interface, result, error);
    }
    *atEnd = value != VARIANT_FALSE;
    return result;
}

HRESULT AddNewStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object) {
        return E_POINTER;
    }
    Variant fields;
    Variant values;
    MakeOmitted(fields);
    MakeOmitted(values);
    HRESULT result = resultSet->object->AddNew(fields.value, values.value);
    return FAILED(result) ? Raise(resultSet->object.get(), kRecordset15Interface, result, error) : result;
}

HRESULT SetStoreField(StoreResultSet* resultSet, const char* name, const char* value, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object) {
        return E_POINTER;
    }
    Variant index;
    Variant content;
    if (!MakeStringVariant(index, name) || !MakeStringVariant(content, value)) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = resultSet->object->put_Collect(index.value, content.value);
    return FAILED(result) ? Raise(resultSet->object.get(), kRecordset15Interface, result, error) : result;
}

HRESULT UpdateStoreRow(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object) {
        return E_POINTER;
    }
    Variant fields;
    Variant values;
    MakeOmitted(fields);
    MakeOmitted(values);
    HRESULT result = resultSet->object->Update(fields.value, values.value);
    return FAILED(result) ? Raise(resultSet->object.get(), kRecordset15Interface, result, error) : result;
}

HRESULT CloseStoreResultSet(StoreResultSet* resultSet, StoreErrorInfoPtr* error)
{
    if (resultSet == nullptr || !resultSet->object) {
        return E_POINTER;
    }
    HRESULT result = resultSet->object->Close();
    return FAILED(result) ? Raise(resultSet->object.get(), kRecordset15Interface, result, error) : result;
}

}  // namespace corvel::platform
