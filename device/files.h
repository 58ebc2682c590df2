// File-system calls on CE paths, translated onto the device image.
//
// The phone opens files with an access mode and a sharing mode. Linux has no
// mandatory sharing, so the probes keep their meaning this way:
//  - reading, whatever the sharing: the file exists, is a regular file and
//    can be opened for reading;
//  - writing with no sharing: as above for writing, and the file is not the
//    running program's own executable (whose image is in use: Linux answers
//    ETXTBSY, and we also compare with /proc/self/exe).
// None of the probes creates a file.
#ifndef TARNVEX_DEVICE_FILES_H_
#define TARNVEX_DEVICE_FILES_H_

#include <string>
#include <string_view>

namespace device {

enum class Share { kNone, kRead, kReadWrite };

// Opens an existing file for reading with the given sharing and closes it.
bool CanOpenExistingForRead(std::u16string_view ce_path, Share share);
// Opens an existing file for writing with the given sharing and closes it.
bool CanOpenExistingForWrite(std::u16string_view ce_path, Share share);

// True when the host file is the executable of this process.
bool IsRunningExecutable(const std::string& host_path);

// Creates one directory; false when it exists already or cannot be made, and
// (errno EINVAL) for a name the phone refuses: reserved characters, a
// trailing dot or blank, a path over 259 characters (see device::HostPath).
bool CreateDirectoryCe(std::u16string_view ce_path);
bool DirectoryExistsCe(std::u16string_view ce_path);
bool DeleteFileCe(std::u16string_view ce_path);

// The system's page size, read once.
size_t SystemPageSize();
// Rounds n up to the smallest whole multiple of the page size that exceeds n
// (so there is always room for a terminator).
size_t PageRoundAbove(size_t n);

}  // namespace device

#endif  // TARNVEX_DEVICE_FILES_H_
