// The service's objects behind mapi/mapi.h: session, tables, stores,
// folders, messages and body streams.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device::service {
namespace {

// Reference counting shared by every object.
template <typename Interface>
class Object : public Interface {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || Supports(iid)) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG now = --references_;
    if (now == 0) delete this;
    return now;
  }

 protected:
  virtual bool Supports(REFIID) const { return false; }
  ~Object() override = default;

 private:
  std::atomic<ULONG> references_{1};
};

// A table over rows read when it was made.
class RowTable : public Object<IMAPITable> {
 public:
  explicit RowTable(std::vector<std::vector<Prop>> rows)
      : rows_(std::move(rows)) {}

  HRESULT SetColumns(LPSPropTagArray columns, ULONG) override {
    if (columns == nullptr) return MAPI_E_INVALID_PARAMETER;
    columns_.assign(columns->aulPropTag,
                    columns->aulPropTag + columns->cValues);
    has_columns_ = true;
    return S_OK;
  }

  HRESULT QueryRows(LONG row_count, ULONG, LPSRowSet* rows) override {
    if (rows == nullptr || row_count < 0) return MAPI_E_INVALID_PARAMETER;
    size_t count = std::min<size_t>(static_cast<size_t>(row_count),
                                    rows_.size() - cursor_);
    void* block = nullptr;
    if (MAPIAllocateBuffer(
            static_cast<ULONG>(sizeof(SRowSet) + sizeof(SRow) * count),
            &block) != S_OK) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    LPSRowSet set = static_cast<LPSRowSet>(block);
    set->cRows = 0;
    for (size_t i = 0; i < count; ++i) {
      std::vector<Prop> values;
      if (has_columns_) {
        for (ULONG tag : columns_) {
          auto it = std::find_if(rows_[cursor_].begin(), rows_[cursor_].end(),
                                 [&](const Prop& p) { return p.tag == tag; });
          values.push_back(it != rows_[cursor_].end() ? *it : ErrorProp(tag));
        }
      } else {
        values = rows_[cursor_];
      }
      SRow& row = set->aRow[i];
      row.ulAdrEntryPad = 0;
      row.cValues = static_cast<ULONG>(values.size());
      row.lpProps = AllocProps(values);
      ++set->cRows;
      ++cursor_;
    }
    *rows = set;
    return S_OK;
  }

  HRESULT SortTable(LPSSortOrderSet order, ULONG) override {
    if (order == nullptr) return MAPI_E_INVALID_PARAMETER;
    for (ULONG k = order->cSorts; k-- > 0;) {
      ULONG tag = order->aSort[k].ulPropTag;
      bool descending = order->aSort[k].ulOrder == TABLE_SORT_DESCEND;
      auto key = [tag](const std::vector<Prop>& row) -> const Prop* {
        for (const Prop& p : row) {
          if (p.tag == tag) return &p;
        }
        return nullptr;
      };
      std::stable_sort(
          rows_.begin(), rows_.end(),
          [&](const std::vector<Prop>& a, const std::vector<Prop>& b) {
            const Prop* x = key(a);
            const Prop* y = key(b);
            if (x == nullptr || y == nullptr)
              return x != nullptr && y == nullptr;
            bool less = x->number != y->number ? x->number < y->number
                                               : x->text < y->text;
            bool greater = x->number != y->number ? x->number > y->number
                                                  : x->text > y->text;
            return descending ? greater : less;
          });
    }
    cursor_ = 0;
    return S_OK;
  }

  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (count == nullptr) return MAPI_E_INVALID_PARAMETER;
    *count = static_cast<ULONG>(rows_.size());
    return S_OK;
  }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IMAPITable);
  }

 private:
  std::vector<std::vector<Prop>> rows_;
  std::vector<ULONG> columns_;
  bool has_columns_ = false;
  size_t cursor_ = 0;
};

// Property getter shared by the prop-carrying objects.
HRESULT GiveProps(const std::vector<Prop>& all, LPSPropTagArray tags,
                  ULONG* count, LPSPropValue* values) {
  if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::vector<Prop> selected = SelectProps(all, tags);
  *values = AllocProps(selected);
  if (*values == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  *count = static_cast<ULONG>(selected.size());
  bool any_error = false;
  for (const Prop& p : selected) any_error |= PROP_TYPE(p.tag) == PT_ERROR;
  return any_error ? MAPI_W_ERRORS_RETURNED : S_OK;
}

class Stream : public Object<IStream> {
 public:
  explicit Stream(std::u16string text) : text_(std::move(text)) {}
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    size_t total = text_.size() * sizeof(char16_t);
    size_t n = std::min<size_t>(size, total - position_);
    if (n > 0) {
      std::memcpy(buffer,
                  reinterpret_cast<const char*>(text_.data()) + position_, n);
    }
    position_ += n;
    if (read != nullptr) *read = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT Stat(STATSTG* stat, ULONG) override {
    if (stat == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::memset(stat, 0, sizeof *stat);
    stat->cbSize = text_.size() * sizeof(char16_t);
    return S_OK;
  }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IStream);
  }

 private:
  std::u16string text_;
  size_t position_ = 0;
};

struct MessageData {
  int64_t id = 0;
  int64_t folder = 0;
  std::vector<Prop> props;
  std::vector<std::u16string> recipients;
  bool recipients_read = true;  // every recipient row was read
  bool has_body = false;
  bool body_loaded = false;
  std::u16string body;
};

// How much of the body a loaded message carries: none (a message opened to
// be judged needs only its recipients; the body is read when asked for), a
// short preview (rows of a contents table, as messaging services cut long
// text columns), or all of it.
enum class BodyLoad { kNone, kPreview, kFull };
constexpr int kPreviewChars = kBodyPreviewChars;

// The message's row and recipients. kFound, kMissing (no such message), or
// kUnreadable (the service file could not be read now).
enum class LoadResult { kFound, kMissing, kUnreadable };

// The query of messages `where` says, with the columns FillMessage reads.
std::string MessageSql(BodyLoad body, const char* where) {
  const std::string body_column = body == BodyLoad::kFull      ? kBodyOf
                                  : body == BodyLoad::kPreview ? kBodyPreviewOf
                                                               : "NULL";
  return "SELECT m.folder, m.subject, " + body_column +
         ", m.sender_name, m.sender_address, m.delivery_time, "
         "m.submit_time, m.flags, " +
         kHasBodyOf + ", m.id FROM messages m WHERE " + where + ";";
}

// One row of MessageSql into `data` (without its recipients).
void FillMessage(sqlite3_stmt* s, MessageData* data, BodyLoad body) {
  const int64_t id = sqlite3_column_int64(s, 9);
  data->id = id;
  data->folder = sqlite3_column_int64(s, 0);
  data->props.clear();
  data->props.push_back(
      BinProp(PR_ENTRYID, MakeEntryId(EntryKind::kMessage, id)));
  data->props.push_back(BinProp(PR_PARENT_ENTRYID,
                                MakeEntryId(EntryKind::kFolder, data->folder)));
  data->props.push_back(LongProp(PR_OBJECT_TYPE, MAPI_MESSAGE));
  auto text = [&](int column, ULONG tag) {
    if (sqlite3_column_type(s, column) != SQLITE_NULL) {
      data->props.push_back(TextProp(tag, ColumnWide(s, column)));
    }
  };
  text(1, PR_SUBJECT_W);
  data->has_body = sqlite3_column_int(s, 8) != 0;
  data->body_loaded = body == BodyLoad::kFull;
  if (data->has_body && body != BodyLoad::kNone) {
    std::u16string text16 = ColumnWide(s, 2);
    if (body == BodyLoad::kPreview &&
        text16.size() > static_cast<size_t>(kPreviewChars)) {
      text16.resize(kPreviewChars);
    }
    data->props.push_back(TextProp(PR_BODY_W, text16));
    if (body == BodyLoad::kFull) data->body = std::move(text16);
  }
  text(3, PR_SENDER_NAME_W);
  text(4, PR_SENDER_EMAIL_ADDRESS_W);
  if (sqlite3_column_type(s, 5) != SQLITE_NULL) {
    data->props.push_back(
        TimeProp(PR_MESSAGE_DELIVERY_TIME, sqlite3_column_int64(s, 5)));
  }
  if (sqlite3_column_type(s, 6) != SQLITE_NULL) {
    data->props.push_back(
        TimeProp(PR_CLIENT_SUBMIT_TIME, sqlite3_column_int64(s, 6)));
  }
  data->props.push_back(LongProp(PR_MESSAGE_FLAGS, sqlite3_column_int64(s, 7)));
}

LoadResult LoadMessage(int64_t id, MessageData* data,
                       BodyLoad body = BodyLoad::kNone) {
  base::MutexLock guard(&Lock());
  const std::string sql = MessageSql(body, "m.id = ?");
  Query q(sql);
  q.Bind(1, id);
  if (!q.Step())
    return q.failed() ? LoadResult::kUnreadable : LoadResult::kMissing;
  // A deleted message's row stays in no folder (DeleteMessage): it is gone.
  if (q.Int64(0) == 0) return LoadResult::kMissing;
  FillMessage(q.get(), data, body);
  Query r(
      "SELECT address FROM recipients WHERE message = ? ORDER BY position;");
  r.Bind(1, id);
  data->recipients.clear();
  while (r.Step()) data->recipients.push_back(ColumnWide(r.get(), 0));
  data->recipients_read = !r.failed();
  return LoadResult::kFound;
}

// Reads the whole body of an opened message the first time it is asked for.
bool LoadBody(MessageData* data) {
  if (data->body_loaded || !data->has_body) return true;
  base::MutexLock guard(&Lock());
  const std::string sql =
      std::string("SELECT ") + kBodyOf + " FROM messages m WHERE m.id = ?;";
  Query q(sql);
  q.Bind(1, data->id);
  if (!q.Step()) return false;
  data->body = ColumnWide(q.get(), 0);
  data->body_loaded = true;
  for (Prop& p : data->props) {
    if (p.tag == PR_BODY_W) p.text = data->body;
  }
  bool listed = false;
  for (const Prop& p : data->props) listed = listed || p.tag == PR_BODY_W;
  if (!listed) data->props.push_back(TextProp(PR_BODY_W, data->body));
  return true;
}

class Message : public Object<IMessage> {
 public:
  explicit Message(MessageData data) : data_(std::move(data)) {}

  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count,
                   LPSPropValue* values) override {
    // The body is read only when it is asked for (or all properties are).
    bool wants_body = tags == nullptr;
    for (ULONG i = 0; tags != nullptr && i < tags->cValues; ++i) {
      wants_body =
          wants_body || PROP_ID(tags->aulPropTag[i]) == PROP_ID(PR_BODY_W);
    }
    if (wants_body && !LoadBody(&data_)) return MAPI_E_CALL_FAILED;
    return GiveProps(data_.props, tags, count, values);
  }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG,
                       LPUNKNOWN* object) override {
    if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    if (tag != PR_BODY_W) return MAPI_E_NOT_FOUND;
    if (iid == nullptr || !IsEqualIID(*iid, IID_IStream))
      return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (!data_.has_body) return MAPI_E_NOT_FOUND;
    if (!LoadBody(&data_)) return MAPI_E_CALL_FAILED;
    *object = new Stream(data_.body);
    return S_OK;
  }
  HRESULT GetRecipientTable(ULONG, LPMAPITABLE* table) override {
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    // A list that could not be read to its end is no list at all.
    if (!data_.recipients_read) return MAPI_E_CALL_FAILED;
    std::vector<std::vector<Prop>> rows;
    for (const std::u16string& address : data_.recipients) {
      // A wide text ends at its first NUL: an address with one inside could
      // only be handed out cut, so it is handed out as missing.
      rows.push_back({address.find(u'\0') == std::u16string::npos
                          ? TextProp(PR_EMAIL_ADDRESS_W, address)
                          : ErrorProp(PR_EMAIL_ADDRESS_W),
                      LongProp(PR_RECIPIENT_TYPE, MAPI_TO)});
    }
    *table = new RowTable(std::move(rows));
    return S_OK;
  }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IMessage) || IsEqualIID(iid, IID_IMAPIProp);
  }

 private:
  MessageData data_;
};

HRESULT OpenAny(int64_t store, ULONG size, LPENTRYID entry_id, ULONG* type,
                LPUNKNOWN* object);

class Folder : public Object<IMAPIFolder> {
 public:
  Folder(int64_t id, int64_t store) : id_(id), store_(store) {}
  int64_t id() const { return id_; }

  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count,
                   LPSPropValue* values) override {
    bool failed = false;
    std::u16string name;
    int64_t parent = 0;
    {
      base::MutexLock guard(&Lock());
      name = FolderName(id_, &failed);
      parent = FolderParent(id_, &failed);
    }
    if (failed) return MAPI_E_CALL_FAILED;
    std::vector<Prop> all = {
        BinProp(PR_ENTRYID, MakeEntryId(EntryKind::kFolder, id_)),
        LongProp(PR_OBJECT_TYPE, MAPI_FOLDER),
        TextProp(PR_DISPLAY_NAME_W, name),
    };
    if (parent != 0) {
      all.push_back(
          BinProp(PR_PARENT_ENTRYID, MakeEntryId(EntryKind::kFolder, parent)));
    }
    return GiveProps(all, tags, count, values);
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG,
                       LPUNKNOWN* object) override {
    if (object != nullptr) *object = nullptr;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT GetContentsTable(ULONG, LPMAPITABLE* table) override {
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    // One query for the folder: the rows carry no recipients.
    std::vector<std::vector<Prop>> rows;
    {
      base::MutexLock guard(&Lock());
      const std::string sql =
          MessageSql(BodyLoad::kPreview, "m.folder = ? ORDER BY m.id");
      Query q(sql);
      q.Bind(1, id_);
      while (q.Step()) {
        MessageData data;
        FillMessage(q.get(), &data, BodyLoad::kPreview);
        rows.push_back(std::move(data.props));
      }
    }
    *table = new RowTable(std::move(rows));
    return S_OK;
  }

  HRESULT OpenEntry(ULONG size, LPENTRYID entry_id, LPCIID, ULONG, ULONG* type,
                    LPUNKNOWN* object) override {
    return OpenAny(store_, size, entry_id, type, object);
  }

  HRESULT CreateFolder(ULONG, LPTSTR name, LPTSTR, LPCIID, ULONG flags,
                       IMAPIFolder** folder) override {
    if (name == nullptr || folder == nullptr || name[0] == 0)
      return MAPI_E_INVALID_PARAMETER;
    *folder = nullptr;
    std::string utf8 = Utf8(std::u16string(name));
    if (utf8.size() > 255) return MAPI_E_INVALID_PARAMETER;
    int64_t found = 0;
    bool existed = false;
    // A folder that is there is opened with a read: every hold and every
    // walk opens the held folder, and a write transaction each time would
    // make them queue behind other writers for nothing.
    {
      base::MutexLock guard(&Lock());
      Query q("SELECT id FROM folders WHERE parent = ? AND name = ?;");
      q.Bind(1, id_).Bind(2, utf8);
      if (q.Step()) {
        found = q.Int64(0);
        existed = true;
      }
    }
    bool ok =
        existed || Change([&]() REQUIRES(Lock()) {
          Query q("SELECT id FROM folders WHERE parent = ? AND name = ?;");
          q.Bind(1, id_).Bind(2, utf8);
          if (q.Step()) {
            found = q.Int64(0);
            existed = true;
            return true;
          }
          Query insert(
              "INSERT INTO folders (store, parent, name, kind) VALUES (?, ?, "
              "?, "
              "?);");
          insert.Bind(1, store_).Bind(2, id_).Bind(3, utf8).Bind(
              4, static_cast<int64_t>(FolderKind::kOther));
          if (insert.Exec() != SQLITE_DONE) return false;
          found = sqlite3_last_insert_rowid(Db());
          if (!Journal(fnevObjectCreated, store_, EntryKind::kFolder, found,
                       id_, 0))
            return false;
          return true;
        });
    if (!ok) return MAPI_E_CALL_FAILED;
    // Without OPEN_IF_EXISTS an existing folder is a collision.
    if (existed && (flags & OPEN_IF_EXISTS) == 0) return MAPI_E_COLLISION;
    *folder = new Folder(found, store_);
    return S_OK;
  }

  HRESULT CopyMessages(LPENTRYLIST messages, LPCIID, LPVOID destination,
                       ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (messages == nullptr || destination == nullptr)
      return MAPI_E_INVALID_PARAMETER;
    if ((flags & MESSAGE_MOVE) == 0) return MAPI_E_NO_SUPPORT;
    Folder* target =
        dynamic_cast<Folder*>(static_cast<IMAPIFolder*>(destination));
    if (target == nullptr) return MAPI_E_INVALID_PARAMETER;
    int64_t target_store = 0;
    {
      base::MutexLock guard(&Lock());
      target_store = StoreOfFolder(target->id());
    }
    bool all_moved = true;
    bool ok = Change([&]() REQUIRES(Lock()) {
      // A move into an Outbox is journaled by the file's own trigger
      // (schema.cpp), as any writer's is; other moves here.
      Query kind("SELECT kind FROM folders WHERE id = ?;");
      kind.Bind(1, target->id());
      if (!kind.Step()) return false;
      const bool into_outbox =
          kind.Int64(0) == static_cast<int64_t>(FolderKind::kOutbox);
      for (ULONG i = 0; i < messages->cValues; ++i) {
        EntryKind kind;
        int64_t id = 0;
        if (!ParseEntryId(messages->lpbin[i].cb, messages->lpbin[i].lpb, &kind,
                          &id) ||
            kind != EntryKind::kMessage) {
          all_moved = false;
          continue;
        }
        Query q(
            "UPDATE messages SET folder = ?, in_folder_since = ? WHERE id = ? "
            "AND folder = ?;");
        q.Bind(1, target->id()).Bind(2, NowMs()).Bind(3, id).Bind(4, id_);
        if (q.Exec() != SQLITE_DONE) return false;
        if (sqlite3_changes(Db()) != 1) {
          all_moved = false;
          continue;
        }
        if (into_outbox ? !TakeTriggeredArrival(id, target->id())
                        : !Journal(fnevObjectMoved, target_store,
                                   EntryKind::kMessage, id, target->id(), id_))
          return false;
      }
      return true;
    });
    if (!ok) return MAPI_E_CALL_FAILED;
    return all_moved ? S_OK : MAPI_E_NOT_FOUND;
  }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IMAPIFolder) || IsEqualIID(iid, IID_IMAPIProp);
  }

 private:
  int64_t id_;
  int64_t store_;
};

// Opens a folder or message; with `store` not 0 only one of that store.
HRESULT OpenAny(int64_t store, ULONG size, LPENTRYID entry_id, ULONG* type,
                LPUNKNOWN* object) {
  if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
  *object = nullptr;
  EntryKind kind;
  int64_t id = 0;
  if (!ParseEntryId(size, entry_id, &kind, &id)) return MAPI_E_INVALID_ENTRYID;
  if (kind == EntryKind::kFolder) {
    bool failed = false;
    int64_t owner = 0;
    {
      base::MutexLock guard(&Lock());
      owner = StoreOfFolder(id, &failed);
    }
    if (failed) return MAPI_E_CALL_FAILED;
    if (owner == 0 || (store != 0 && owner != store)) return MAPI_E_NOT_FOUND;
    if (type != nullptr) *type = MAPI_FOLDER;
    *object = static_cast<IMAPIFolder*>(new Folder(id, owner));
    return S_OK;
  }
  if (kind == EntryKind::kMessage) {
    MessageData data;
    switch (LoadMessage(id, &data)) {
      case LoadResult::kFound:
        break;
      case LoadResult::kMissing:
        return MAPI_E_NOT_FOUND;
      case LoadResult::kUnreadable:
        return MAPI_E_CALL_FAILED;
    }
    if (store != 0) {
      base::MutexLock guard(&Lock());
      if (StoreOfFolder(data.folder) != store) return MAPI_E_NOT_FOUND;
    }
    if (type != nullptr) *type = MAPI_MESSAGE;
    *object = static_cast<IMessage*>(new Message(std::move(data)));
    return S_OK;
  }
  return MAPI_E_NOT_FOUND;
}

class MsgStore : public Object<IMsgStore> {
 public:
  MsgStore(int64_t id, std::u16string name) : id_(id), name_(std::move(name)) {}

  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count,
                   LPSPropValue* values) override {
    std::vector<Prop> all = {
        BinProp(PR_ENTRYID, MakeEntryId(EntryKind::kStore, id_)),
        LongProp(PR_OBJECT_TYPE, MAPI_STORE),
        TextProp(PR_DISPLAY_NAME_W, name_),
    };
    bool failed = false;
    auto folder = [&](ULONG tag, FolderKind kind) REQUIRES(Lock()) {
      if (int64_t f = StandardFolder(id_, static_cast<int>(kind), &failed)) {
        all.push_back(BinProp(tag, MakeEntryId(EntryKind::kFolder, f)));
      }
    };
    {
      base::MutexLock guard(&Lock());
      folder(PR_IPM_SUBTREE_ENTRYID, FolderKind::kRoot);
      folder(PR_CE_IPM_INBOX_ENTRYID, FolderKind::kInbox);
      folder(PR_IPM_OUTBOX_ENTRYID, FolderKind::kOutbox);
      folder(PR_CE_IPM_OUTBOX_ALIAS, FolderKind::kOutbox);
      folder(PR_IPM_SENTMAIL_ENTRYID, FolderKind::kSentItems);
      folder(PR_CE_IPM_DRAFTS_ENTRYID, FolderKind::kDrafts);
      folder(PR_IPM_WASTEBASKET_ENTRYID, FolderKind::kDeletedItems);
    }
    // A folder that could not be looked up is not "missing".
    if (failed) return MAPI_E_CALL_FAILED;
    return GiveProps(all, tags, count, values);
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG,
                       LPUNKNOWN* object) override {
    if (object != nullptr) *object = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK sink,
                 ULONG* connection) override {
    if (sink == nullptr) return MAPI_E_INVALID_PARAMETER;
    ULONG made = AddSink(id_, sink);
    if (made == 0) return MAPI_E_CALL_FAILED;
    if (connection != nullptr) *connection = made;
    return S_OK;
  }
  HRESULT Unadvise(ULONG connection) override {
    return RemoveSink(connection) ? S_OK : MAPI_E_NOT_FOUND;
  }
  HRESULT OpenEntry(ULONG size, LPENTRYID entry_id, LPCIID, ULONG, ULONG* type,
                    LPUNKNOWN* object) override {
    return OpenAny(id_, size, entry_id, type, object);
  }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IMsgStore) || IsEqualIID(iid, IID_IMAPIProp);
  }

 private:
  int64_t id_;
  std::u16string name_;
};

class Session : public Object<IMAPISession> {
 public:
  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* table) override {
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::vector<Prop>> rows;
    {
      base::MutexLock guard(&Lock());
      Query q("SELECT id, name FROM stores ORDER BY id;");
      if (!q.ok()) return MAPI_E_CALL_FAILED;
      while (q.Step()) {
        int64_t id = q.Int64(0);
        rows.push_back(
            {TextProp(PR_DISPLAY_NAME_W, ColumnWide(q.get(), 1)),
             BinProp(PR_ENTRYID, MakeEntryId(EntryKind::kStore, id))});
      }
    }
    *table = new RowTable(std::move(rows));
    return S_OK;
  }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG size, LPENTRYID entry_id, LPCIID, ULONG,
                       LPMDB* store) override {
    if (store == nullptr) return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    EntryKind kind;
    int64_t id = 0;
    if (!ParseEntryId(size, entry_id, &kind, &id) ||
        kind != EntryKind::kStore) {
      return MAPI_E_INVALID_ENTRYID;
    }
    base::MutexLock guard(&Lock());
    Query q("SELECT name FROM stores WHERE id = ?;");
    q.Bind(1, id);
    if (!q.Step()) return MAPI_E_NOT_FOUND;
    *store = new MsgStore(id, ColumnWide(q.get(), 0));
    return S_OK;
  }
  HRESULT OpenEntry(ULONG size, LPENTRYID entry_id, LPCIID, ULONG, ULONG* type,
                    LPUNKNOWN* object) override {
    return OpenAny(0, size, entry_id, type, object);
  }
  HRESULT CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2,
                          LPENTRYID id2, ULONG, ULONG* result) override {
    if (result == nullptr) return MAPI_E_INVALID_PARAMETER;
    *result = size1 == size2 && id1 != nullptr && id2 != nullptr &&
              std::memcmp(id1, id2, size1) == 0;
    return S_OK;
  }
  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }

 protected:
  bool Supports(REFIID iid) const override {
    return IsEqualIID(iid, IID_IMAPISession);
  }
};

}  // namespace
}  // namespace device::service

HRESULT MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, FLAGS, LPMAPISESSION* session) {
  if (session == nullptr) return MAPI_E_INVALID_PARAMETER;
  *session = nullptr;
  if (!device::OpenMessageService().ok()) return MAPI_E_LOGON_FAILED;
  *session = new device::service::Session();
  return S_OK;
}
