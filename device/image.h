// The device image: a host folder that plays the phone's file system. The
// folder is the device's "\"; the program keeps CE paths (absolute,
// backslash-separated, at most 259 characters) and only the file-system calls
// translate them with HostPath.
//
// Where the image is: SetImageRoot (tarnvex-device --root), else the
// environment variable TARNVEX_DEVICE, else $XDG_DATA_HOME/tarnvex/device
// (~/.local/share/tarnvex/device).
//
// Besides the device's own files the image holds a hidden folder ".device"
// with the card list ("cards", one UTF-8 name a line), the run folder (locks
// and sockets of running programs) and the message service's database.
#ifndef TARNVEX_DEVICE_IMAGE_H_
#define TARNVEX_DEVICE_IMAGE_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "device/image_root.h"

namespace device {

inline constexpr size_t kMaxPath = 260;     // with the terminator
inline constexpr size_t kMaxCardName = 63;  // without the terminator
inline constexpr char16_t kProgramFilesFolder[] = u"\\Program Files";

// Maps a CE path onto the image. Fails (false) for a path that is not
// absolute, is longer than 259 characters, has a "." or ".." component
// (which could leave the image), or has a name the phone refuses (see
// ValidCeName). "\" maps to the image root.
bool HostPath(std::u16string_view ce_path, std::string* host_path);
std::string HostPathOrEmpty(std::u16string_view ce_path);

// The platform's folder for installed programs: "\Program Files".
std::u16string ProgramFilesFolder();

// The file-creation mask of the device's programs: what they make (and what
// SQLite makes beside a database: write-ahead log, shared memory) is private.
inline constexpr mode_t kPrivateFileMask = 077;

// Called first by each program of the device (after its image root is
// known): sets the private file-creation mask and narrows the image's root
// and bookkeeping folders to private when an older run left them open.
void KeepImagePrivate();

// Creates the image's skeleton: the root, \Program Files, \Windows, \My
// Documents, the bookkeeping folder and an empty card list. Existing content
// is kept. Every folder is private (0700), the card list 0600; an existing
// folder of this user's is narrowed to private. An I/O error when a folder
// or file cannot be made.
base::Status InitImage();
// The same, with the code page of a new image (0: kNewImageCodePage); an
// existing image keeps its own, and asking it for another one (or one the
// device does not know) is refused input.
base::Status InitImage(int code_page);
bool ImageExists();

// Storage cards, in card-list order. A listed name whose folder is missing
// is still listed (the card is "inserted" but empty).
std::vector<std::u16string> StorageCards();
// True for a name the phone's file system accepts as one path component: not
// empty, none of \ / ? * < > | " : or a control character, and no trailing
// dot or blank.
bool ValidCeName(std::u16string_view name);
// True for a usable card name: a valid CE name of at most 63 characters,
// every character one that the program's narrow paths keep unchanged
// (U+0020-U+007E, U+00A0-U+00FF), not "." / ".." / ".device". Else false
// with a message that names the fault.
bool ValidCardName(std::u16string_view name, std::string* error);
// Adds a card: appends the name to the list and creates its folder. Refuses
// (invalid argument) a name ValidCardName refuses or one already listed; an
// I/O error when the folder or the list cannot be written.
base::Status AddStorageCard(std::u16string_view name);
// Removes the name from the list; the folder and its files stay. Not found
// for a name that is not listed.
base::Status RemoveStorageCard(std::u16string_view name);

}  // namespace device

#endif  // TARNVEX_DEVICE_IMAGE_H_
