// The messaging interface the program calls: the device's message service,
// shaped as MAPI is published (reference-counted interfaces, HRESULT results,
// property values, row sets, entry lists, notifications), with the published
// numbers for every tag, flag and interface identifier the program uses.
//
// Memory: every property value array and row set handed out is freed by the
// caller with MAPIFreeBuffer / FreeProws. Objects are released with Release.
// The implementation lives in the device (device/service); this header
// depends on nothing else.
#ifndef TARNVEX_MAPI_MAPI_H_
#define TARNVEX_MAPI_MAPI_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// --- basic types -------------------------------------------------------------

using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using BYTE = uint8_t;
using LPBYTE = BYTE*;
using FLAGS = ULONG;
using ULONG_PTR = uintptr_t;
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPTSTR = char16_t*;  // the device is a wide-character platform
using LPVOID = void*;
using BOOL = int32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
using LPCIID = const IID*;

inline bool IsEqualIID(REFIID a, REFIID b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

// --- results -----------------------------------------------------------------

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = 0x00040380;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
inline constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
inline constexpr HRESULT MAPI_E_NO_ACCESS = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT MAPI_E_NO_SUPPORT = static_cast<HRESULT>(0x80040102);
inline constexpr HRESULT MAPI_E_NOT_FOUND = static_cast<HRESULT>(0x8004010F);
inline constexpr HRESULT MAPI_E_INVALID_ENTRYID =
    static_cast<HRESULT>(0x80040107);
inline constexpr HRESULT MAPI_E_LOGON_FAILED = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT MAPI_E_COLLISION = static_cast<HRESULT>(0x80040604);
inline constexpr HRESULT MAPI_E_NOT_INITIALIZED =
    static_cast<HRESULT>(0x80040605);
inline constexpr HRESULT MAPI_E_UNKNOWN_FLAGS =
    static_cast<HRESULT>(0x80040106);
inline constexpr HRESULT MAPI_E_DISK_ERROR = static_cast<HRESULT>(0x80040116);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// --- property types and tags -------------------------------------------------

inline constexpr ULONG PT_UNSPECIFIED = 0x0000;
inline constexpr ULONG PT_NULL = 0x0001;
inline constexpr ULONG PT_LONG = 0x0003;
inline constexpr ULONG PT_BOOLEAN = 0x000B;
inline constexpr ULONG PT_ERROR = 0x000A;
inline constexpr ULONG PT_I8 = 0x0014;
inline constexpr ULONG PT_STRING8 = 0x001E;
inline constexpr ULONG PT_UNICODE = 0x001F;
inline constexpr ULONG PT_SYSTIME = 0x0040;
inline constexpr ULONG PT_BINARY = 0x0102;

inline constexpr ULONG PROP_TYPE(ULONG tag) { return tag & 0xFFFF; }
inline constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
inline constexpr ULONG PROP_TAG(ULONG type, ULONG id) {
  return (id << 16) | type;
}
inline constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) {
  return (tag & 0xFFFF0000u) | type;
}

inline constexpr ULONG PR_SUBJECT_W = 0x0037001F;
inline constexpr ULONG PR_RECEIVED_BY_EMAIL_ADDRESS_W = 0x0076001F;
inline constexpr ULONG PR_SENDER_NAME_W = 0x0C1A001F;
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS_W = 0x0C1F001F;
inline constexpr ULONG PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
inline constexpr ULONG PR_MESSAGE_FLAGS = 0x0E070003;
inline constexpr ULONG PR_CLIENT_SUBMIT_TIME = 0x00390040;
inline constexpr ULONG PR_ENTRYID = 0x0FFF0102;
inline constexpr ULONG PR_OBJECT_TYPE = 0x0FFE0003;
inline constexpr ULONG PR_PARENT_ENTRYID = 0x0E090102;
inline constexpr ULONG PR_BODY_W = 0x1000001F;
inline constexpr ULONG PR_DISPLAY_NAME_W = 0x3001001F;
inline constexpr ULONG PR_EMAIL_ADDRESS_A = 0x3003001E;
inline constexpr ULONG PR_EMAIL_ADDRESS_W = 0x3003001F;
inline constexpr ULONG PR_RECIPIENT_TYPE = 0x0C150003;
inline constexpr ULONG PR_IPM_SUBTREE_ENTRYID = 0x35E00102;
inline constexpr ULONG PR_IPM_OUTBOX_ENTRYID = 0x35E20102;
inline constexpr ULONG PR_IPM_WASTEBASKET_ENTRYID = 0x35E30102;
inline constexpr ULONG PR_IPM_SENTMAIL_ENTRYID = 0x35E40102;
inline constexpr ULONG PR_CE_IPM_DRAFTS_ENTRYID = 0x35D70102;
inline constexpr ULONG PR_CE_IPM_INBOX_ENTRYID = 0x81020102;
// The store property the outgoing check compares with a message's parent
// folder first; the device gives it the Outbox's identifier.
inline constexpr ULONG PR_CE_IPM_OUTBOX_ALIAS = 0x81040102;

// Message flags (PR_MESSAGE_FLAGS).
inline constexpr ULONG MSGFLAG_READ = 0x1;
inline constexpr ULONG MSGFLAG_UNSENT = 0x8;

// Recipient types.
inline constexpr ULONG MAPI_TO = 1;
inline constexpr ULONG MAPI_CC = 2;
inline constexpr ULONG MAPI_BCC = 3;

// --- flags -------------------------------------------------------------------

inline constexpr ULONG MAPI_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
inline constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
inline constexpr ULONG MAPI_UNICODE = 0x80000000;
inline constexpr ULONG MAPI_LOGON_UI = 0x00000001;
inline constexpr ULONG MAPI_NEW_SESSION = 0x00000002;
inline constexpr ULONG MAPI_EXPLICIT_PROFILE = 0x00000010;
inline constexpr ULONG MDB_NO_DIALOG = 0x00000001;
inline constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
inline constexpr ULONG MESSAGE_MOVE = 0x00000001;
inline constexpr ULONG FOLDER_GENERIC = 1;
inline constexpr ULONG FOLDER_ROOT = 0;
inline constexpr ULONG TABLE_SORT_ASCEND = 0;
inline constexpr ULONG TABLE_SORT_DESCEND = 1;
inline constexpr ULONG STATFLAG_DEFAULT = 0;
inline constexpr ULONG STATFLAG_NONAME = 1;
inline constexpr ULONG MAPI_CREATE = 0x00000002;
inline constexpr ULONG KEEP_OPEN_READWRITE = 0x00000002;

// Object types (OpenEntry).
inline constexpr ULONG MAPI_STORE = 1;
inline constexpr ULONG MAPI_FOLDER = 3;
inline constexpr ULONG MAPI_MESSAGE = 5;

// Notification events.
inline constexpr ULONG fnevCriticalError = 0x00000001;
inline constexpr ULONG fnevNewMail = 0x00000002;
inline constexpr ULONG fnevObjectCreated = 0x00000004;
inline constexpr ULONG fnevObjectDeleted = 0x00000008;
inline constexpr ULONG fnevObjectModified = 0x00000010;
inline constexpr ULONG fnevObjectMoved = 0x00000020;
inline constexpr ULONG fnevObjectCopied = 0x00000040;

// The platform's "thread still running" exit code.
inline constexpr ULONG STILL_ACTIVE = 259;

// --- interface identifiers ---------------------------------------------------

inline constexpr IID IID_IUnknown = {
    0x00000000,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IStream = {
    0x0000000C,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMAPISession = {
    0x00020300,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMAPITable = {
    0x00020301,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMAPIAdviseSink = {
    0x00020302,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMAPIProp = {
    0x00020303,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMAPIFolder = {
    0x0002030C,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMessage = {
    0x00020307,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IMsgStore = {
    0x00020306,
    0x0000,
    0x0000,
    {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// --- data structures ---------------------------------------------------------

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];
};
using LPENTRYID = ENTRYID*;

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};

struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = ENTRYLIST*;

union _PV {
  int16_t i;
  LONG l;
  ULONG ul;
  BOOL b;
  int64_t li;
  char* lpszA;
  LPWSTR lpszW;
  SBinary bin;
  FILETIME ft;
  HRESULT err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;

// A tag array of a fixed size, usable where an SPropTagArray is expected.
#define SizedSPropTagArray(n, name) \
  struct _SPropTagArray_##name {    \
    ULONG cValues;                  \
    ULONG aulPropTag[n];            \
  } name

inline LPSPropTagArray AsTagArray(void* sized) {
  return static_cast<LPSPropTagArray>(sized);
}

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
using LPSRowSet = SRowSet*;

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};

struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;

#define SizedSSortOrderSet(n, name) \
  struct _SSortOrderSet_##name {    \
    ULONG cSorts;                   \
    ULONG cCategories;              \
    ULONG cExpanded;                \
    SSortOrder aSort[n];            \
  } name

struct OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG ulObjType;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG cbOldID;
  LPENTRYID lpOldID;
  ULONG cbOldParentID;
  LPENTRYID lpOldParentID;
  LPSPropTagArray lpPropTagArray;
};

struct NOTIFICATION {
  ULONG ulEventType;
  ULONG ulAlignPad;
  union {
    OBJECT_NOTIFICATION obj;
  } info;
};
using LPNOTIFICATION = NOTIFICATION*;

struct STATSTG {
  LPWSTR pwcsName;
  ULONG type;
  uint64_t cbSize;  // the platform's ULARGE_INTEGER: QuadPart
};

// --- interfaces --------------------------------------------------------------

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

class IStream : public IUnknown {
 public:
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Stat(STATSTG* stat, ULONG flags) = 0;
};
using LPSTREAM = IStream*;

class IMAPIAdviseSink : public IUnknown {
 public:
  virtual ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) = 0;
};
using LPMAPIADVISESINK = IMAPIAdviseSink*;

class IMAPITable : public IUnknown {
 public:
  virtual HRESULT SetColumns(LPSPropTagArray columns, ULONG flags) = 0;
  virtual HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) = 0;
  virtual HRESULT SortTable(LPSSortOrderSet order, ULONG flags) = 0;
  virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
};
using LPMAPITABLE = IMAPITable*;

class IMAPIProp : public IUnknown {
 public:
  virtual HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                           LPSPropValue* values) = 0;
  virtual HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG interface_options,
                               ULONG flags, LPUNKNOWN* object) = 0;
};

class IMAPIContainer : public IMAPIProp {
 public:
  virtual HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid,
                            ULONG flags, ULONG* object_type,
                            LPUNKNOWN* object) = 0;
};

class IMAPIProgress;
using LPMAPIPROGRESS = IMAPIProgress*;

class IMAPIFolder : public IMAPIContainer {
 public:
  virtual HRESULT CreateFolder(ULONG folder_type, LPTSTR name, LPTSTR comment,
                               LPCIID iid, ULONG flags,
                               IMAPIFolder** folder) = 0;
  virtual HRESULT CopyMessages(LPENTRYLIST messages, LPCIID iid,
                               LPVOID destination, ULONG_PTR ui_param,
                               LPMAPIPROGRESS progress, ULONG flags) = 0;
};
using LPMAPIFOLDER = IMAPIFolder*;

class IMessage : public IMAPIProp {
 public:
  virtual HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) = 0;
};
using LPMESSAGE = IMessage*;

class IMsgStore : public IMAPIProp {
 public:
  virtual HRESULT Advise(ULONG entry_id_size, LPENTRYID entry_id,
                         ULONG event_mask, LPMAPIADVISESINK sink,
                         ULONG* connection) = 0;
  virtual HRESULT Unadvise(ULONG connection) = 0;
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid,
                            ULONG flags, ULONG* object_type,
                            LPUNKNOWN* object) = 0;
};
using LPMDB = IMsgStore*;

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR ui_param, ULONG entry_id_size,
                               LPENTRYID entry_id, LPCIID iid, ULONG flags,
                               LPMDB* store) = 0;
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid,
                            ULONG flags, ULONG* object_type,
                            LPUNKNOWN* object) = 0;
  virtual HRESULT CompareEntryIDs(ULONG size1, LPENTRYID entry_id1, ULONG size2,
                                  LPENTRYID entry_id2, ULONG flags,
                                  ULONG* result) = 0;
  virtual HRESULT Logoff(ULONG_PTR ui_param, ULONG flags, ULONG reserved) = 0;
};
using LPMAPISESSION = IMAPISession*;

// --- functions ---------------------------------------------------------------

HRESULT MAPILogonEx(ULONG_PTR ui_param, LPTSTR profile, LPTSTR password,
                    FLAGS flags, LPMAPISESSION* session);
HRESULT MAPIAllocateBuffer(ULONG size, LPVOID* buffer);
ULONG MAPIFreeBuffer(LPVOID buffer);
void FreeProws(LPSRowSet rows);

#endif  // TARNVEX_MAPI_MAPI_H_
