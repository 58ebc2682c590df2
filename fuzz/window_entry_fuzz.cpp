// A window registry entry file (<run>/windows/<order>_<handle>) as another
// process may have written it: a lookup never fails on it, and an entry it
// returns is a sound one of a live process with its own handle.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "device/window_registry.h"
#include "fuzz/fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzImage();
  const std::string dir = device::RunDir() + "/windows";
  fuzzing::MakeDir(device::RunDir());
  fuzzing::MakeDir(dir);
  const std::string handle = std::to_string(getpid()) + "-1";
  // The first line names the entry's class for the lookup; the rest is the
  // file.
  std::string input = fuzzing::FromInput(data, size);
  size_t newline = input.find('\n');
  std::u16string wanted;
  if (newline != std::string::npos) {
    wanted = device::Utf8ToWide(input.substr(0, newline));
    input.erase(0, newline + 1);
  }
  fuzzing::WriteHostFile(dir + "/00000001_" + handle,
                         fuzzing::WithOwnProcess(input));
  for (const auto& found :
       {device::FindWindowByClass(wanted), device::FindWindowByTitle(wanted),
        device::FindWindow(wanted, u""),
        device::FindWindow(u"ClassName", wanted)}) {
    if (!found) continue;
    if (found->pid != getpid() || found->handle != handle) std::abort();
  }
  const pid_t owner = device::WindowProcess(handle);
  if (owner != 0 && owner != getpid()) std::abort();
  return 0;
}
