// The ADO Connection and Recordset interfaces as their vtables lie: IDispatch,
// then _ADO's Properties, then the Connection15 / Recordset15 members in the
// published type library's order. Only the members the terminal database
// calls carry their real parameters; the others hold their slots.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace corvel::platform::ado {

struct AdoObject : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Properties_Slot() = 0;
};

// Connection15, and _Connection (which adds Cancel after OpenSchema).
struct Connection : AdoObject {
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionString_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionString_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommandTimeout_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommandTimeout_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionTimeout_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionTimeout_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginTrans_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitTrans_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE RollbackTrans_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Open(BSTR connectionString, BSTR userId, BSTR password, long options) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Errors_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DefaultDatabase_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DefaultDatabase_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsolationLevel_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsolationLevel_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Attributes_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Attributes_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorLocation_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorLocation_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Mode_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Mode_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Provider_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Provider_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSchema_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel_Slot() = 0;
};

// Recordset15 up to Collect; _Recordset extends it further down the table.
struct Recordset : AdoObject {
    virtual HRESULT STDMETHODCALLTYPE get_AbsolutePosition_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AbsolutePosition_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE putref_ActiveConnection_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ActiveConnection_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ActiveConnection_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BOF_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Bookmark_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Bookmark_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CacheSize_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CacheSize_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorType_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorType_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* atEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Fields_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LockType_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_LockType_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxRecords_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MaxRecords_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RecordCount_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE putref_Source_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Source_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Source_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddNew(VARIANT fieldList, VARIANT values) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelUpdate_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRows_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Move_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveNext_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE MovePrevious_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFirst_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveLast_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Open(VARIANT source, VARIANT activeConnection, int cursorType, int lockType, LONG options) = 0;
    virtual HRESULT STDMETHODCALLTYPE Requery_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE _xResync_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Update(VARIANT fields, VARIANT values) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AbsolutePage_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AbsolutePage_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EditMode_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Filter_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Filter_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PageCount_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PageSize_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_PageSize_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Sort_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Sort_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Status_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(LONG* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE _xClone_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateBatch_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelBatch_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CursorLocation_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CursorLocation_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE NextRecordset_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Supports_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Collect_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Collect(VARIANT index, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MarshalOptions_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MarshalOptions_Slot() = 0;
    virtual HRESULT STDMETHODCALLTYPE Find_Slot() = 0;
};

}  // namespace corvel::platform::ado
