#include "tests/support/temp_image.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "device/clock.h"
#include "device/image.h"

namespace testing_support {

std::string MakeTempDir(const char* prefix) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
  char* made = mkdtemp(tmpl.data());
  if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
  return tmpl;
}

TempImage::TempImage() : root_(MakeTempDir("tarnvex-image-")) {
  device::SetImageRoot(root_);
  if (base::Status made = device::InitImage(); !made.ok())
    ADD_FAILURE() << made.message();
  device::LocalTime when;
  if (!device::ParseLocalTime(kTestClock, &when)) {
    ADD_FAILURE() << kTestClock;
  } else if (base::Status set = device::SetDeviceClock(when); !set.ok()) {
    ADD_FAILURE() << set.message();
  }
}

TempImage::~TempImage() {
  device::SetImageRoot("");
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TempImage::Host(const std::u16string& ce_path) const {
  return device::HostPathOrEmpty(ce_path);
}

void TempImage::WriteFile(const std::u16string& ce_path,
                          const std::string& content) const {
  std::filesystem::path p(Host(ce_path));
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

bool TempImage::Exists(const std::u16string& ce_path) const {
  std::error_code ec;
  return std::filesystem::exists(Host(ce_path), ec);
}

}  // namespace testing_support
