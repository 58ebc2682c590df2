// The Postfix commands the release worker runs: postqueue -j to see where a
// held message lies, postsuper -H to release it from the hold queue and
// postqueue -i to schedule it at once. Each runs as a child process (no
// shell), with standard input given, its output read and a time limit.
//
// A Postfix host is the local instance (`--postfix-config DIR`: "-c DIR" on
// each command) or another host sharing this milter, reached through a
// command prefix (`--remote NAME=PREFIX`, e.g. "ssh -o BatchMode=yes
// root@mx2"), in front of which the same commands run.
#ifndef TARNVEX_GATEWAY_POSTFIX_H_
#define TARNVEX_GATEWAY_POSTFIX_H_

#include <string>
#include <vector>

#include "base/status.h"
#include "gateway/queue_listing.h"

namespace gateway {

struct PostfixHost {
  std::string name;                 // its myhostname (macro j)
  std::vector<std::string> prefix;  // words run in front of each command
  std::string config_dir;           // "-c DIR", "" for the default
};

struct CommandRun {
  int exit_status = -1;  // -1: it could not be run, or was ended
  std::string out;
  std::string err;
};

// Runs argv[0] (found on PATH, else in /usr/sbin) with `input` on its
// standard input; ends it after `timeout_ms`.
CommandRun RunCommand(const std::vector<std::string>& argv,
                      const std::string& input, int timeout_ms);

// The argv of a Postfix command on `host`: prefix, the command, -c DIR, args.
std::vector<std::string> PostfixCommand(const PostfixHost& host,
                                        const std::string& command,
                                        const std::vector<std::string>& args);

// Where the messages of `host`'s queue lie now.
base::Status ReadQueue(const PostfixHost& host, QueueListing* listing);
// postsuper -H for each id (read from its standard input).
base::Status ReleaseFromHold(const PostfixHost& host,
                             const std::vector<std::string>& queue_ids);
// postqueue -i ID.
base::Status ScheduleNow(const PostfixHost& host, const std::string& queue_id);
// postconf -h myhostname of the local instance ("" when it cannot be read).
std::string LocalHostName(const std::string& config_dir);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_POSTFIX_H_
