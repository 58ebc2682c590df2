// `tarnvex-device install` puts the help pages and the support files beside
// the program, and refuses loudly (leaving the image untouched) when it
// cannot find them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BinPath;
using testing_support::RunProgram;

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(BinPath("Tarnvex"))) << "the program is not built";
    // A build folder of its own: the program without any resources nearby.
    bare_ = testing_support::MakeTempDir("tarnvex-bare-build");
    fs::copy_file(BinPath("Tarnvex"), bare_ + "/Tarnvex");
  }
  void TearDown() override { fs::remove_all(bare_); }
  int Install(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root",
                                     image_.root(), "install"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out);
  }
  testing_support::TempImage image_;
  std::string bare_;
};

TEST_F(InstallTest, WithoutHelpPagesAndSupportFilesItFailsAndInstallsNothing) {
  std::string out;
  EXPECT_NE(Install({"--from", bare_}, &out), 0) << out;
  EXPECT_FALSE(image_.Exists(u"\\Program Files\\Tarnvex\\Tarnvex.exe"));
  // A resources folder that lacks them is refused the same way.
  std::string empty = testing_support::MakeTempDir("tarnvex-no-resources");
  EXPECT_NE(Install({"--from", bare_, "--resources", empty}, &out), 0) << out;
  EXPECT_FALSE(image_.Exists(u"\\Program Files\\Tarnvex\\Tarnvex.exe"));
  fs::remove_all(empty);
}

TEST_F(InstallTest, WithThemEverythingIsCopied) {
  std::string resources =
      std::string(std::getenv("TARNVEX_SOURCE_DIR")) + "/resources/lang";
  std::string out;
  ASSERT_EQ(Install({"--from", bare_, "--resources", resources}, &out), 0)
      << out;
  EXPECT_TRUE(image_.Exists(u"\\Program Files\\Tarnvex\\Tarnvex.exe"));
  EXPECT_TRUE(
      image_.Exists(u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm"));
  EXPECT_TRUE(image_.Exists(u"\\Program Files\\Tarnvex\\emn\\Tarnvex.emn.deu"));
  // From the build's own folder the source tree's resources are found.
  testing_support::TempImage second;
  std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root",
                                   second.root(), "install"};
  ASSERT_EQ(RunProgram(argv, &out), 0) << out;
  EXPECT_TRUE(
      second.Exists(u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm"));
}

}  // namespace
