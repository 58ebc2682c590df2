// Store and folder lookups the service's parts share: a store's standard
// folder, a folder's store, name, parent and path.
#include "device/service/service_db.h"

namespace device::service {

namespace {

void NoteFailure(const Query& q, bool* failed) {
  if (failed != nullptr && q.failed()) *failed = true;
}

}  // namespace

int64_t StandardFolder(int64_t store, int kind, bool* failed) {
  Query q(
      "SELECT id FROM folders WHERE store = ? AND kind = ? ORDER BY id LIMIT "
      "1;");
  q.Bind(1, store).Bind(2, kind);
  int64_t id = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return id;
}

int64_t StoreOfFolder(int64_t folder, bool* failed) {
  Query q("SELECT store FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  int64_t store = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return store;
}

std::u16string FolderName(int64_t folder, bool* failed) {
  Query q("SELECT name FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  std::u16string name = q.Step() ? ColumnWide(q.get(), 0) : u"";
  NoteFailure(q, failed);
  return name;
}

int64_t FolderParent(int64_t folder, bool* failed) {
  Query q("SELECT parent FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  int64_t parent = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return parent;
}

std::string FolderPath(int64_t folder) {
  std::string path;
  for (int depth = 0; folder != 0 && depth < 64; ++depth) {
    int64_t parent = FolderParent(folder);
    if (parent == 0) break;  // the root has no name in paths
    std::string name = Utf8(FolderName(folder));
    path = path.empty() ? name : name + "\\" + path;
    folder = parent;
  }
  return path;
}

}  // namespace device::service
