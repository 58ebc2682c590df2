// Where the device image is, and the host paths of its own bookkeeping. Kept
// apart from the rest of the image (device/image.h) because every layer may
// ask it: the device's code page, read by the narrow-text helpers, is a
// setting stored in the image.
#ifndef TARNVEX_DEVICE_IMAGE_ROOT_H_
#define TARNVEX_DEVICE_IMAGE_ROOT_H_

#include <string>

namespace device {

// Host path of the image's root folder (no trailing slash): SetImageRoot
// (tarnvex-device --root), else the environment variable TARNVEX_DEVICE,
// else $XDG_DATA_HOME/tarnvex/device (~/.local/share/tarnvex/device).
std::string ImageRoot();
// Overrides the image root for this process (empty: back to the default).
void SetImageRoot(const std::string& host_dir);

// Host paths of the image's own bookkeeping.
std::string DeviceDataDir();       // <image>/.device
std::string RunDir();              // <image>/.device/run
std::string CardListPath();        // <image>/.device/cards
std::string MessageServicePath();  // <image>/.device/messages.db
std::string CodePagePath();        // <image>/.device/codepage
std::string MailDataDir();         // <image>/.device/mail (private files)

}  // namespace device

#endif  // TARNVEX_DEVICE_IMAGE_ROOT_H_
