// Turning the messaging interface's HRESULTs into the watch's Status.
#include "hold/hresult.h"

#include <cstdio>

namespace hold {

device::Status FromHresult(HRESULT hr, const std::string& what) {
  if (SUCCEEDED(hr)) return device::Status::Ok();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_ENTRYID)
    return device::Status::NotFound(what + ": " + code);
  return device::Status::IoError(what + ": " + code);
}

}  // namespace hold
