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

#include <sys/types.h>

#include <string>
#include <string_view>

#include "device/memory.h"

namespace device {

// Everything the device's programs create in the image is private to the
// image's owner: other users of the machine may neither read the messages nor
// steer the device.
inline constexpr mode_t kPrivateDirMode = 0700;
inline constexpr mode_t kPrivateFileMode = 0600;

enum class Share { kNone, kRead, kReadWrite };

// Opens an existing file for reading with the given sharing and closes it.
bool CanOpenExistingForRead(std::u16string_view ce_path, Share share);
// Opens an existing file for writing with the given sharing and closes it.
bool CanOpenExistingForWrite(std::u16string_view ce_path, Share share);

// True when the host file is the executable of this process.
bool IsRunningExecutable(const std::string& host_path);

// Creates one directory (private); false when it exists already or cannot be
// made, and (errno EINVAL) for a name the phone refuses: reserved characters,
// a trailing dot or blank, a path over 259 characters (see device::HostPath).
bool CreateDirectoryCe(std::u16string_view ce_path);
bool DirectoryExistsCe(std::u16string_view ce_path);
bool DeleteFileCe(std::u16string_view ce_path);

// Makes a host folder and its missing parents, each private. A folder of this
// user's that exists with a wider mode is narrowed to private (parents that
// exist are left as they are). True when the folder exists afterwards.
bool EnsurePrivateDir(const std::string& host_dir);
// Takes the group's and others' rights from an existing folder or file of
// this user's (0755 -> 0700, 0644 -> 0600). False when it is missing, is not
// this user's, or cannot be changed.
bool NarrowToPrivate(const std::string& host_path);
// Replaces a host file's content in one step (a private temporary file beside
// it, synced, then a rename, synced too). False, with nothing changed, on
// failure. State that lives only while processes run (the run folder's
// records, which a power cut makes moot) is written kUnsynced: the same one
// step for readers, without waiting for the disk.
enum class FileSync { kSynced, kUnsynced };
bool WritePrivateFile(const std::string& host_path, const std::string& content,
                      FileSync sync = FileSync::kSynced);

}  // namespace device

#endif  // TARNVEX_DEVICE_FILES_H_
