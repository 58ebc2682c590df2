// The device's card list (<image>/.device/cards) as another program may have
// written it: the program's card table takes at most 16 names, each a usable
// card name that fits its slot, and every name it takes maps into the image.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/image.h"
#include "fuzz/fuzz_image.h"
#include "storage/locations.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzImage();
  fuzzing::WriteHostFile(device::CardListPath(),
                         fuzzing::FromInput(data, size));
  for (const std::u16string& name : device::StorageCards()) {
    std::string why;
    device::ValidCardName(name, &why);
    std::string host;
    device::HostPath(u"\\" + name, &host);
  }
  storage::ResetLocations();
  EnumStorageCards();
  const int count = StorageCardCount();
  if (count < 0 || count > storage::kMaxStorageCards) std::abort();
  for (int i = 0; i < count; ++i) {
    const std::u16string name = StorageCardName(i);
    if (name.empty() || name.size() >= storage::kCardSlotChars) std::abort();
    if (!device::ValidCardName(name, nullptr)) std::abort();
    std::string host;
    if (!device::HostPath(u"\\" + name + u"\\Tarnvex\\dba", &host))
      std::abort();
  }
  if (!StorageCardName(count).empty()) std::abort();
  return 0;
}
