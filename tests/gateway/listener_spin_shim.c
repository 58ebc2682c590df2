/* Preloaded into tarnvex-milter by the commands test: a poll() that never
   waits a second or more, so that libmilter's listener, which otherwise
   waits five seconds a round holding its lock, turns fast enough for a stop
   right after the start to meet it between its look at the stop and its
   lock. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  static int (*real_poll)(struct pollfd*, nfds_t, int);
  if (real_poll == 0)
    real_poll = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
  if (count == 1 && timeout >= 1000) timeout = 0;
  return real_poll(fds, count, timeout);
}
