// The milter itself: libmilter's callbacks over a Judge (judgement.h). Each
// SMTP session (libmilter gives each its own thread) keeps its envelope and
// the message's bytes; at the end of each message the judge decides:
// continue, quarantine into the hold queue with the reason, or tempfail
// with a 451 reply.
#ifndef TARNVEX_GATEWAY_MILTER_H_
#define TARNVEX_GATEWAY_MILTER_H_

#include <cstdint>
#include <string>

#include "base/status.h"
#include "gateway/judgement.h"

namespace gateway {

struct MilterSettings {
  std::string listen;        // unix:PATH or inet:PORT@HOST
  int timeout_s = 30;        // libmilter's I/O timeout
  std::string socket_group;  // a unix socket's group ("" to keep)
};

// The milter's own time: from each message's MAIL FROM to its end of
// message, the time spent in the callbacks.
struct MilterTimes {
  uint64_t messages = 0;
  uint64_t own_ns = 0;
};

// Listens and serves until SIGTERM, SIGINT or SIGHUP (libmilter stops on
// them); `judge` outlives the call. Not ok when it cannot listen.
base::Status RunMilter(const MilterSettings& settings, Judge* judge);
MilterTimes MilterOwnTimes();

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_MILTER_H_
