// Entry identifiers of stores, folders and messages: opaque bytes to the
// program, four flag bytes, a kind byte and the row id to the service.
#include "device/service/service_db.h"

namespace device::service {

std::vector<uint8_t> MakeEntryId(EntryKind kind, int64_t id) {
  std::vector<uint8_t> bytes(13, 0);
  bytes[4] = static_cast<uint8_t>(kind);
  for (int i = 0; i < 8; ++i) {
    bytes[5 + i] = static_cast<uint8_t>(static_cast<uint64_t>(id) >> (8 * i));
  }
  return bytes;
}

bool ParseEntryId(ULONG size, const void* bytes, EntryKind* kind, int64_t* id) {
  if (size != 13 || bytes == nullptr) return false;
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  if (b[0] != 0 || b[1] != 0 || b[2] != 0 || b[3] != 0) return false;
  if (b[4] != 'S' && b[4] != 'F' && b[4] != 'M') return false;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i)
    value |= static_cast<uint64_t>(b[5 + i]) << (8 * i);
  *kind = static_cast<EntryKind>(b[4]);
  *id = static_cast<int64_t>(value);
  return *id > 0;
}

}  // namespace device::service
