// Turning the messaging interface's HRESULTs into the watch's Status.
#include "hold/hresult.h"

#include <cstdio>

namespace hold {

base::Status FromHresult(HRESULT hr, const std::string& what) {
  if (SUCCEEDED(hr)) return base::Status::Ok();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_ENTRYID)
    return base::Status::NotFound(what + ": " + code);
  return base::Status::IoError(what + ": " + code);
}

}  // namespace hold
