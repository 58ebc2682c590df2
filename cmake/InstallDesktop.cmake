# Run by `cmake --install`: the desktop entry, the XDG autostart entry and the
# systemd user unit, naming the programs by their place in the prefix given
# at install time (--prefix, or make install PREFIX=...); each is written
# straight into its place (under DESTDIR, when set). Autostart entries are
# read from ~/.config/autostart for one user and from etc/xdg/autostart of a
# system prefix: a prefix of ~/.local installs the user's.
set(TARNVEX_BIN "${CMAKE_INSTALL_PREFIX}/bin")
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
if(DEFINED ENV{HOME} AND CMAKE_INSTALL_PREFIX STREQUAL "$ENV{HOME}/.local")
  if(DEFINED ENV{XDG_CONFIG_HOME} AND NOT "$ENV{XDG_CONFIG_HOME}" STREQUAL "")
    set(autostart "$ENV{DESTDIR}$ENV{XDG_CONFIG_HOME}/autostart")
  else()
    set(autostart "$ENV{DESTDIR}$ENV{HOME}/.config/autostart")
  endif()
else()
  set(autostart "${root}/etc/xdg/autostart")
endif()
set(from "${TARNVEX_SOURCE_DIR}/resources/desktop")
foreach(pair "tarnvex.desktop.in|${root}/share/applications/tarnvex.desktop"
             "tarnvex-autostart.desktop.in|${autostart}/tarnvex.desktop"
             "tarnvex-device.service.in|${root}/share/systemd/user/tarnvex-device.service")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  message(STATUS "Installing: ${target}")
  configure_file("${from}/${source}" "${target}" @ONLY)
endforeach()
