// The messaging interface answers with HRESULTs; the watch works with
// device::Status. This is the one place where the one becomes the other.
#ifndef TARNVEX_HOLD_HRESULT_H_
#define TARNVEX_HOLD_HRESULT_H_

#include <string>

#include "device/status.h"
#include "mapi/mapi.h"

namespace hold {

// Ok for a success; not found for an object that is not there (any more);
// anything else an I/O error with `what` and the code ("moving the message:
// 0x80004005").
device::Status FromHresult(HRESULT hr, const std::string& what);

}  // namespace hold

#endif  // TARNVEX_HOLD_HRESULT_H_
