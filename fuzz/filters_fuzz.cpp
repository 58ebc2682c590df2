// The registered filters file (<image>/.device/filters) as an editor or
// another program may have left it: every filter read back has a program
// name, registering one keeps the others the file holds (with their
// exceptions), and unregistering removes just that one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/listeners.h"
#include "fuzz/fuzz_image.h"

using device::service::FilterRegistration;

namespace {

const FilterRegistration* Find(const std::vector<FilterRegistration>& filters,
                               const std::string& program) {
  for (const FilterRegistration& f : filters)
    if (f.program == program) return &f;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzImage();
  const std::string path = device::DeviceDataDir() + "/filters";
  fuzzing::WriteHostFile(path, fuzzing::FromInput(data, size));

  const std::vector<FilterRegistration> before =
      device::service::RegisteredFilters();
  for (const FilterRegistration& f : before) {
    if (f.program.empty() || f.program[0] == '#') std::abort();
  }
  std::string waiting;
  device::service::MaySend(1, "SMS", 1, {}, before, &waiting);

  const FilterRegistration mine{"Tarnvex", {"ActiveSync"}};
  if (!device::service::RegisterFilter(mine).ok()) std::abort();
  const std::vector<FilterRegistration> after =
      device::service::RegisteredFilters();
  const FilterRegistration* registered = Find(after, "Tarnvex");
  if (registered == nullptr || registered->except_stores != mine.except_stores)
    std::abort();
  // Every other well-formed filter of the file is still there as it was.
  for (const FilterRegistration& f : before) {
    if (f.program == "Tarnvex" || f.program.find('/') != std::string::npos)
      continue;
    const FilterRegistration* kept = Find(after, f.program);
    if (kept == nullptr) std::abort();
    if (Find(before, f.program) == &f && kept->except_stores != f.except_stores)
      std::abort();
  }
  if (!device::service::UnregisterFilter("Tarnvex").ok()) std::abort();
  if (Find(device::service::RegisteredFilters(), "Tarnvex") != nullptr)
    std::abort();
  return 0;
}
