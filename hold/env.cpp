// The defaults of the watch's environment: the real clock and real sleeps.
#include "hold/env.h"

#include <thread>

namespace hold {

void Env::SleepFor(std::chrono::milliseconds pause) {
  std::this_thread::sleep_for(pause);
}

}  // namespace hold
