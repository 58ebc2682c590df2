// make install's part, done as `cmake --install BUILD --prefix P` into a
// temporary prefix: every file in its place, the desktop entries valid for
// desktop-file-validate, the user unit clean for systemd-analyze verify, the
// installed tool finding the installed program and resources for an image,
// and the installed transport run by the user's service manager where one
// can run here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/filter_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BinPath;
using testing_support::Eventually;
using testing_support::MakeTempDir;
using testing_support::RunProgram;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = MakeTempDir("tarnvex-prefix-");
    // The build folder is the one above bin/.
    const std::string build = fs::path(BinPath("tarnvex-device"))
                                  .parent_path()
                                  .parent_path()
                                  .string();
    std::string out;
    ASSERT_EQ(RunProgram({"/bin/sh", "-c",
                          "cmake --install \"$0\" --prefix "
                          "\"$1\" 2>&1",
                          build, prefix_},
                         &out),
              0)
        << out;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(prefix_, ec);
  }
  std::string In(const std::string& relative) const {
    return prefix_ + "/" + relative;
  }
  std::string prefix_;
};

TEST_F(InstallTest, EveryFileIsInPlaceAndValid) {
  for (const char* program : {"bin/Tarnvex", "bin/tarnvex-device"}) {
    EXPECT_EQ(access(In(program).c_str(), X_OK), 0) << program;
  }
  for (const char* file : {"share/tarnvex/lang/Help/eng/index.eng.htm",
                           "share/tarnvex/lang/emn/Tarnvex.emn.eng",
                           "share/icons/hicolor/scalable/apps/tarnvex.svg",
                           "share/applications/tarnvex.desktop",
                           "etc/xdg/autostart/tarnvex.desktop",
                           "share/systemd/user/tarnvex-device.service"}) {
    EXPECT_TRUE(fs::is_regular_file(In(file))) << file;
  }
  // Each names the installed tool by its full path.
  const std::string tool = "\"" + In("bin/tarnvex-device") + "\"";
  EXPECT_NE(ReadAll(In("share/applications/tarnvex.desktop"))
                .find("Exec=" + tool + " start\n"),
            std::string::npos);
  EXPECT_NE(ReadAll(In("etc/xdg/autostart/tarnvex.desktop"))
                .find("Exec=" + tool + " start\n"),
            std::string::npos);
  const std::string unit =
      ReadAll(In("share/systemd/user/tarnvex-device.service"));
  EXPECT_NE(unit.find("ExecStart=" + tool + " run\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);

  std::string out;
  for (const char* entry : {"share/applications/tarnvex.desktop",
                            "etc/xdg/autostart/tarnvex.desktop"}) {
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", "desktop-file-validate \"$0\" 2>&1",
                          In(entry)},
                         &out),
              0)
        << entry << ": " << out;
    EXPECT_EQ(out, "") << entry;
  }
  // The user manager's view needs a runtime folder; one of the test's own
  // where the session has none. A wrong setting is a warning only: the
  // output must be empty too.
  const std::string runtime = MakeTempDir("tarnvex-runtime-");
  EXPECT_EQ(
      RunProgram({"/bin/sh", "-c",
                  "XDG_RUNTIME_DIR=\"${XDG_RUNTIME_DIR:-$1}\" "
                  "systemd-analyze --user verify \"$0\" 2>&1",
                  In("share/systemd/user/tarnvex-device.service"), runtime},
                 &out),
      0)
      << out;
  EXPECT_EQ(out, "");
  std::error_code ec;
  fs::remove_all(runtime, ec);
}

TEST_F(InstallTest, TheInstalledToolInstallsTheInstalledProgramIntoAnImage) {
  const std::string image = MakeTempDir("tarnvex-installed-image-");
  const std::string tool = In("bin/tarnvex-device");
  ASSERT_EQ(RunProgram({tool, "--root", image, "init"}), 0);
  std::string out;
  ASSERT_EQ(RunProgram({tool, "--root", image, "install"}, &out), 0) << out;
  EXPECT_TRUE(
      fs::is_regular_file(image + "/Program Files/Tarnvex/Tarnvex.exe"));
  EXPECT_TRUE(fs::is_regular_file(
      image + "/Program Files/Tarnvex/Help/eng/index.eng.htm"));
  std::error_code ec;
  fs::remove_all(image, ec);
}

TEST_F(InstallTest, TheUserServiceManagerRunsTheInstalledTransport) {
  // A user manager runs only on a system booted with systemd, and answers on
  // its private socket in the runtime folder.
  if (!fs::exists("/run/systemd/system")) {
    GTEST_SKIP() << "this system was not booted with systemd (no "
                    "/run/systemd/system), so no user manager can run and "
                    "systemd-run --user cannot start the transport";
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string out;
  if (runtime == nullptr ||
      !fs::exists(std::string(runtime) + "/systemd/private") ||
      RunProgram({"/bin/sh", "-c", "systemctl --user is-system-running 2>&1"},
                 &out) == 127) {
    GTEST_SKIP() << "no systemd user manager runs here (XDG_RUNTIME_DIR "
                 << (runtime != nullptr ? runtime : "unset")
                 << " has no systemd/private socket), so systemd-run --user "
                    "cannot start the transport";
  }
  const std::string image = MakeTempDir("tarnvex-unit-image-");
  const std::string unit = "tarnvex-install-test-" + std::to_string(getpid());
  ASSERT_EQ(RunProgram({"systemd-run", "--user", "--unit=" + unit,
                        "--setenv=TARNVEX_DEVICE=" + image, "--property",
                        "Restart=on-failure", "/bin/sh", "-c",
                        "\"$0\" init && exec \"$0\" run --no-submission",
                        In("bin/tarnvex-device")},
                       &out),
            0)
      << out;
  const std::string tool = In("bin/tarnvex-device");
  EXPECT_TRUE(Eventually(
      [&] {
        RunProgram({tool, "--root", image, "info"}, &out);
        return out.find("Transport: running") != std::string::npos;
      },
      30000))
      << out;
  RunProgram({"systemctl", "--user", "stop", unit});
  std::error_code ec;
  fs::remove_all(image, ec);
}

}  // namespace
