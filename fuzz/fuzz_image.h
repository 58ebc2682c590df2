// Shared by the fuzz targets that read files of the device image: one
// private temporary image per process, and the bytes of an input written as
// a file of it.
//
// Records and entries name a live process by its pid and start time; an
// input may write "$PID" and "$START" for the fuzzing process's own, so that
// the fuzzer reaches past the liveness checks into the rest of the reader.
#ifndef TARNVEX_FUZZ_FUZZ_IMAGE_H_
#define TARNVEX_FUZZ_FUZZ_IMAGE_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/image.h"
#include "device/window_registry.h"

namespace fuzzing {

// Makes the image once (in $TMPDIR) and points the process at it.
inline const std::string& FuzzImage() {
  static const std::string root = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/tarnvex-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    device::SetImageRoot(pattern);
    if (base::Status made = device::InitImage(); !made.ok()) {
      std::fprintf(stderr, "fuzz image: %s\n", made.message().c_str());
      std::abort();
    }
    return pattern;
  }();
  return root;
}

inline std::string FromInput(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// "$PID" and "$START" replaced by this process's pid and start time.
inline std::string WithOwnProcess(std::string text) {
  const std::string pid = std::to_string(getpid());
  const std::string start = std::to_string(device::ProcessStartTime(getpid()));
  for (const auto& [word, value] :
       {std::pair<std::string, std::string>{"$PID", pid},
        std::pair<std::string, std::string>{"$START", start}}) {
    for (size_t at = text.find(word); at != std::string::npos;
         at = text.find(word, at + value.size())) {
      text.replace(at, word.size(), value);
    }
  }
  return text;
}

// Writes (replaces) a host file of the image with `bytes`, private.
inline void WriteHostFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (!bytes.empty() &&
      std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::abort();
  }
  std::fclose(file);
  chmod(path.c_str(), 0600);
}

inline void MakeDir(const std::string& path) { mkdir(path.c_str(), 0700); }

}  // namespace fuzzing

#endif  // TARNVEX_FUZZ_FUZZ_IMAGE_H_
