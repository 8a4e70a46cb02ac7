# Run by "cmake --install" (see CMakeLists.txt) once the prefix is final:
# writes the unit and the init script with the installed binary's path and
# puts them and the bus policy where systemd, procd and the system bus read
# them. DESTDIR, when set, is put in front of every path by file(INSTALL).
#
#   prefix       bus policy                 systemd unit
#   /usr         /usr/share/dbus-1/system.d /usr/lib/systemd/system
#   /usr/local   /etc/dbus-1/system.d       /usr/local/lib/systemd/system
#   other        /etc/dbus-1/system.d       /etc/systemd/system
#
# The system bus reads only /usr/share/dbus-1/system.d (the distribution's)
# and /etc/dbus-1/system.d (the administrator's); systemd reads
# /usr/local/lib/systemd/system besides /usr/lib and /etc, and nothing below
# other prefixes. procd and the rc scripts read only /etc/init.d, whatever
# the prefix.

string(REGEX REPLACE "(.)/+$" "\\1" zelmo_prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${ZELMO_SBINDIR}")
  set(ZELMO_BINARY "${ZELMO_SBINDIR}/zelmo")
else()
  set(ZELMO_BINARY "${zelmo_prefix}/${ZELMO_SBINDIR}/zelmo")
endif()
string(REPLACE "//" "/" ZELMO_BINARY "${ZELMO_BINARY}")

if(zelmo_prefix STREQUAL "/usr")
  set(zelmo_policy_dir /usr/share/dbus-1/system.d)
  set(zelmo_unit_dir /usr/lib/systemd/system)
elseif(zelmo_prefix STREQUAL "/usr/local")
  set(zelmo_policy_dir /etc/dbus-1/system.d)
  set(zelmo_unit_dir /usr/local/lib/systemd/system)
else()
  set(zelmo_policy_dir /etc/dbus-1/system.d)
  set(zelmo_unit_dir /etc/systemd/system)
endif()

# Made in a directory of this install's own, so that installs of one build
# with other prefixes or destinations may run at the same time.
string(MD5 zelmo_run "${zelmo_prefix}|$ENV{DESTDIR}")
set(zelmo_made "${ZELMO_DIST_BINARY}/installing-${zelmo_run}")
configure_file("${ZELMO_DIST_SOURCE}/zelmo.service.in" "${zelmo_made}/zelmo.service" @ONLY)
configure_file("${ZELMO_DIST_SOURCE}/zelmo.init.in" "${zelmo_made}/init.d/zelmo" @ONLY)

file(INSTALL "${ZELMO_DIST_SOURCE}/arvex.kvx.zelmo.conf" DESTINATION "${zelmo_policy_dir}")
file(INSTALL "${zelmo_made}/zelmo.service" DESTINATION "${zelmo_unit_dir}")
file(INSTALL "${zelmo_made}/init.d/zelmo" DESTINATION /etc/init.d
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(REMOVE_RECURSE "${zelmo_made}")
