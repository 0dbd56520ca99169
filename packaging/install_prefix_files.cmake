# Runs at install time (make install, and cpack's staging install), when the real prefix is known.

get_filename_component(bw_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

# The launcher's path goes into XML text.
set(bw_helper "${bw_prefix}/${BW_INSTALL_LIBEXECDIR}/helper")
string(REPLACE "&" "&amp;" bw_helper "${bw_helper}")
string(REPLACE "<" "&lt;" bw_helper "${bw_helper}")
string(REPLACE ">" "&gt;" bw_helper "${bw_helper}")
file(READ "${BW_PACKAGING_SOURCE}/polkit/org.binwarden2.repair-helper.policy.in" bw_policy)
string(REPLACE "@BW_HELPER_PATH@" "${bw_helper}" bw_policy "${bw_policy}")
# Written straight to its place: the build tree may belong to someone else than the installer (make run
# as an ordinary user in a tree that root built).
set(bw_actions "$ENV{DESTDIR}${bw_prefix}/${BW_INSTALL_DATADIR}/polkit-1/actions")
file(MAKE_DIRECTORY "${bw_actions}")
file(WRITE "${bw_actions}/org.binwarden2.repair-helper.policy" "${bw_policy}")
file(CHMOD "${bw_actions}/org.binwarden2.repair-helper.policy"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${bw_prefix}/${BW_INSTALL_DATADIR}/polkit-1/actions/org.binwarden2.repair-helper.policy")

# System configuration lives in /etc for the /usr prefix, in <prefix>/etc otherwise.
if(bw_prefix STREQUAL "/usr")
    set(bw_sysconf "/etc")
else()
    set(bw_sysconf "${bw_prefix}/etc")
endif()
file(INSTALL "${BW_PACKAGING_SOURCE}/desktop/binwarden2-menu.desktop"
    DESTINATION "${bw_sysconf}/xdg/autostart"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
