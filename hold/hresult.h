// The messaging interface answers with HRESULTs; the watch works with
// base::Status. This is the one place where the one becomes the other.
#ifndef TARNVEX_HOLD_HRESULT_H_
#define TARNVEX_HOLD_HRESULT_H_

#include <string>

#include "base/status.h"
#include "mapi/mapi.h"

namespace hold {

// Ok for a success; not found for an object that is not there (any more);
// anything else an I/O error with `what` and the code ("moving the message:
// 0x80004005").
base::Status FromHresult(HRESULT hr, const std::string& what);

}  // namespace hold

#endif  // TARNVEX_HOLD_HRESULT_H_
