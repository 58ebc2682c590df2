// The image is private to its owner: what the device's code makes in it is
// 0700 (folders) and 0600 (files), whatever file-creation mask the process
// was started with, and an image left open by an older run is closed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "device/files.h"
#include "device/image.h"
#include "device/named_event.h"
#include "device/window_registry.h"
#include "tests/support/temp_image.h"

namespace {

// A fresh image root below a temporary folder, made under an open mask.
class OpenMaskImage {
 public:
  OpenMaskImage() : parent_(testing_support::MakeTempDir("tarnvex-private-")) {
    old_mask_ = umask(022);
    device::SetImageRoot(parent_ + "/image");
  }
  ~OpenMaskImage() {
    umask(old_mask_);
    device::SetImageRoot("");
    std::error_code ec;
    std::filesystem::remove_all(parent_, ec);
  }
  std::string root() const { return parent_ + "/image"; }

 private:
  std::string parent_;
  mode_t old_mask_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

TEST(PrivacyTest, WhatTheDeviceMakesIsPrivateUnderAnOpenMask) {
  OpenMaskImage image;
  const base::Status made = device::InitImage();
  ASSERT_TRUE(made.ok()) << made.message();
  const base::Status added = device::AddStorageCard(u"Storage Card");
  ASSERT_TRUE(added.ok()) << added.message();
  ASSERT_TRUE(device::CreateDirectoryCe(u"\\Storage Card\\Tarnvex"));
  device::NamedEvent event;
  bool exists = false;
  ASSERT_TRUE(event.Create("MainEvent", &exists));
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  ASSERT_FALSE(handle.empty());

  const std::string root = image.root();
  for (const std::string& dir :
       {root, root + "/Program Files", root + "/Windows",
        root + "/My Documents", root + "/.device", root + "/.device/run",
        root + "/.device/run/windows", root + "/Storage Card",
        root + "/Storage Card/Tarnvex"}) {
    EXPECT_EQ(ModeOf(dir), 0700u) << dir;
  }
  EXPECT_EQ(ModeOf(root + "/.device/cards"), 0600u);
  EXPECT_EQ(ModeOf(root + "/.device/run/MainEvent.event"), 0600u);
  for (const auto& entry :
       std::filesystem::directory_iterator(root + "/.device/run/windows")) {
    EXPECT_EQ(ModeOf(entry.path()), 0600u) << entry.path();
  }
  device::UnregisterAllWindows();
}

TEST(PrivacyTest, AnImageLeftOpenIsClosedAtStart) {
  OpenMaskImage image;
  const std::string root = image.root();
  std::filesystem::create_directories(root + "/.device/run");
  for (const std::string& dir :
       {root, root + "/.device", root + "/.device/run"}) {
    chmod(dir.c_str(), 0755);
  }
  device::KeepImagePrivate();
  mode_t mask = umask(022);
  EXPECT_EQ(mask, device::kPrivateFileMask);
  for (const std::string& dir :
       {root, root + "/.device", root + "/.device/run"}) {
    EXPECT_EQ(ModeOf(dir), 0700u) << dir;
  }
  // Init narrows the folders it keeps too.
  chmod(root.c_str(), 0777);
  const base::Status made = device::InitImage();
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(ModeOf(root), 0700u);
}

TEST(PrivacyTest, WritePrivateFileReplacesWholeAndNarrowsWhatItFinds) {
  OpenMaskImage image;
  const base::Status made = device::InitImage();
  ASSERT_TRUE(made.ok()) << made.message();
  std::string path = image.root() + "/note";
  std::string temp = image.root() + "/.note.tmp";
  // A temporary file left open by a crash is not kept open.
  ASSERT_TRUE(device::WritePrivateFile(temp, "old"));
  chmod(temp.c_str(), 0666);
  ASSERT_TRUE(device::WritePrivateFile(path, "first"));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(std::filesystem::exists(temp));
  // A link planted as the temporary file is not followed.
  std::string target = image.root() + "/target";
  ASSERT_TRUE(device::WritePrivateFile(target, "keep"));
  ASSERT_EQ(symlink(target.c_str(), temp.c_str()), 0);
  EXPECT_TRUE(device::WritePrivateFile(path, "second"));
  EXPECT_EQ(std::filesystem::file_size(target), 4u);
  EXPECT_EQ(std::filesystem::file_size(path), 6u);
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(
      device::WritePrivateFile(image.root() + "/no/such/folder/file", "x"));
}

}  // namespace
