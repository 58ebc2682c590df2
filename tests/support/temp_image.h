// A device image in a fresh temporary folder for one test. The image root of
// the process points at it for the test's lifetime; the folder is removed
// afterwards. Its device clock is set to kTestClock (and runs on from
// there), so that no test depends on the day it runs or meets midnight.
#ifndef TARNVEX_TESTS_SUPPORT_TEMP_IMAGE_H_
#define TARNVEX_TESTS_SUPPORT_TEMP_IMAGE_H_

#include <string>

namespace testing_support {

inline constexpr char kTestClock[] = "2026-01-16T10:00:00";

class TempImage {
 public:
  TempImage();  // creates and initialises the image
  ~TempImage();
  TempImage(const TempImage&) = delete;
  TempImage& operator=(const TempImage&) = delete;

  const std::string& root() const { return root_; }
  // Host path of a CE path inside the image ("\a\b" -> <root>/a/b).
  std::string Host(const std::u16string& ce_path) const;
  // Writes a host file (creating its folders).
  void WriteFile(const std::u16string& ce_path,
                 const std::string& content) const;
  bool Exists(const std::u16string& ce_path) const;

 private:
  std::string root_;
};

// A fresh empty temporary folder, removed by the caller.
std::string MakeTempDir(const char* prefix);

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_TEMP_IMAGE_H_
