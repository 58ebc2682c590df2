// A private D-Bus session bus for tests: dbus-daemon with a configuration of
// its own that starts no services (no desktop program is activated behind
// the test's back), ended with the object. Tests hand its address to the
// program as DBUS_SESSION_BUS_ADDRESS.
#ifndef TARNVEX_TESTS_UI_SESSION_BUS_H_
#define TARNVEX_TESTS_UI_SESSION_BUS_H_

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace testing_support {

class SessionBus {
 public:
  SessionBus() = default;
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus() {
    daemon_.Kill();
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  // False, with the reason, when no bus could be started.
  bool Start(std::string* why) {
    const char* daemon = "/usr/bin/dbus-daemon";
    if (access(daemon, X_OK) != 0) {
      *why = "dbus-daemon is not installed (scripts/install-deps installs it)";
      return false;
    }
    dir_ = MakeTempDir("tarnvex-bus-");
    const std::string config = dir_ + "/session.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
           "Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/"
           "busconfig.dtd\">\n"
           "<busconfig><type>session</type>"
           "<listen>unix:dir="
        << dir_
        << "</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow send_destination=\"*\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
           "</busconfig>\n";
    if (!daemon_.Start({daemon, "--config-file=" + config, "--nofork",
                        "--print-address"}) ||
        !daemon_.ReadLine(&address_, 10000) || address_.empty()) {
      *why = "dbus-daemon did not start";
      return false;
    }
    return true;
  }

  const std::string& address() const { return address_; }

 private:
  std::string dir_;
  ChildProcess daemon_;
  std::string address_;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_UI_SESSION_BUS_H_
