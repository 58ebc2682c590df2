// Property values as the service hands them out: one MAPIAllocateBuffer
// block holding the values and everything they point to, the values picked
// for requested tags, and the texts and times they are made of.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "device/codepage.h"
#include "device/service/service_db.h"

namespace device::service {

Prop LongProp(ULONG tag, int64_t value) {
  Prop p;
  p.tag = tag;
  p.number = value;
  return p;
}
Prop TextProp(ULONG tag, const std::u16string& text) {
  Prop p;
  p.tag = tag;
  p.text = text;
  return p;
}
Prop BinProp(ULONG tag, std::vector<uint8_t> bytes) {
  Prop p;
  p.tag = tag;
  p.bytes = std::move(bytes);
  return p;
}
Prop TimeProp(ULONG tag, int64_t ms) { return LongProp(tag, ms); }
Prop ErrorProp(ULONG tag) {
  return LongProp(CHANGE_PROP_TYPE(tag, PT_ERROR), MAPI_E_NOT_FOUND);
}

LPSPropValue AllocProps(const std::vector<Prop>& props) {
  size_t size = sizeof(SPropValue) * (props.empty() ? 1 : props.size());
  for (const Prop& p : props) {
    switch (PROP_TYPE(p.tag)) {
      case PT_UNICODE:
        size += (p.text.size() + 1) * sizeof(char16_t) + 8;
        break;
      case PT_BINARY:
        size += p.bytes.size() + 8;
        break;
      default:
        break;
    }
  }
  void* block = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(size), &block) != S_OK)
    return nullptr;
  std::memset(block, 0, size);
  LPSPropValue values = static_cast<LPSPropValue>(block);
  uint8_t* extra = static_cast<uint8_t*>(block) +
                   sizeof(SPropValue) * (props.empty() ? 1 : props.size());
  for (size_t i = 0; i < props.size(); ++i) {
    const Prop& p = props[i];
    SPropValue& v = values[i];
    v.ulPropTag = p.tag;
    switch (PROP_TYPE(p.tag)) {
      case PT_UNICODE: {
        // Keep the text 2-aligned.
        extra += reinterpret_cast<uintptr_t>(extra) % 2;
        v.Value.lpszW = reinterpret_cast<LPWSTR>(extra);
        std::memcpy(extra, p.text.data(), p.text.size() * sizeof(char16_t));
        extra += (p.text.size() + 1) * sizeof(char16_t);
        break;
      }
      case PT_BINARY:
        v.Value.bin.cb = static_cast<ULONG>(p.bytes.size());
        v.Value.bin.lpb = extra;
        if (!p.bytes.empty())
          std::memcpy(extra, p.bytes.data(), p.bytes.size());
        extra += p.bytes.size();
        break;
      case PT_LONG:
        v.Value.l = static_cast<LONG>(p.number);
        break;
      case PT_ERROR:
        v.Value.err = static_cast<HRESULT>(p.number);
        break;
      case PT_BOOLEAN:
        v.Value.b = p.number != 0;
        break;
      case PT_I8:
        v.Value.li = p.number;
        break;
      case PT_SYSTIME: {
        // FILETIME: 100 ns ticks since 1601.
        uint64_t ticks =
            static_cast<uint64_t>(p.number) * 10000ull + 116444736000000000ull;
        v.Value.ft.dwLowDateTime = static_cast<uint32_t>(ticks);
        v.Value.ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
        break;
      }
      default:
        break;
    }
  }
  return values;
}

std::vector<Prop> SelectProps(const std::vector<Prop>& all,
                              LPSPropTagArray tags) {
  if (tags == nullptr) return all;
  std::vector<Prop> out;
  for (ULONG i = 0; i < tags->cValues; ++i) {
    ULONG tag = tags->aulPropTag[i];
    const Prop* found = nullptr;
    for (const Prop& p : all) {
      // A string asked for in its 8-bit form is given in the wide form's
      // place only when asked for exactly; the program asks wide.
      if (p.tag == tag) {
        found = &p;
        break;
      }
    }
    out.push_back(found != nullptr ? *found : ErrorProp(tag));
  }
  return out;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Utf8(const std::u16string& text) { return WideToUtf8(text); }
std::u16string Wide16(const std::string& utf8) { return Utf8ToWide(utf8); }

std::u16string ColumnWide(sqlite3_stmt* stmt, int column) {
  return Wide16(base::ColumnText(stmt, column));
}

}  // namespace device::service

// Buffers of the messaging interface (mapi.h): what the service hands out
// is freed with MAPIFreeBuffer.
HRESULT MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = std::malloc(size == 0 ? 1 : size);
  return *buffer != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  std::free(buffer);
  return 0;
}

void FreeProws(LPSRowSet rows) {
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}
