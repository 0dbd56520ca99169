# Runs at install time (make install, and cpack's staging install), when the real prefix is known.

get_filename_component(bw_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

# The launcher's path goes into XML text.
set(bw_helper "${bw_prefix}/${BW_INSTALL_LIBEXECDIR}/helper")
string(REPLACE "&" "&amp;" bw_helper "${bw_helper}")
string(REPLACE "<" "&lt;" bw_helper "${bw_helper}")
string(REPLACE ">" "&gt;" bw_helper "${bw_helper}")
file(READ "${BW_PACKAGING_SOURCE}/polkit/org.binwarden2.repair-helper.policy.in" bw_policy)
string(REPLACE "@BW_HELPER_PATH@" "${bw_helper}" bw_policy "${bw_policy}")
# One scratch folder per destination, so that installs running side by side never share a file.
string(MD5 bw_scratch_key "$ENV{DESTDIR}|${bw_prefix}")
set(bw_scratch "${BW_PACKAGING_BINARY}/install-scratch/${bw_scratch_key}")
file(MAKE_DIRECTORY "${bw_scratch}")
file(WRITE "${bw_scratch}/org.binwarden2.repair-helper.policy" "${bw_policy}")
file(INSTALL "${bw_scratch}/org.binwarden2.repair-helper.policy"
    DESTINATION "${bw_prefix}/${BW_INSTALL_DATADIR}/polkit-1/actions"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(REMOVE_RECURSE "${bw_scratch}")

# System configuration lives in /etc for the /usr prefix, in <prefix>/etc otherwise.
if(bw_prefix STREQUAL "/usr")
    set(bw_sysconf "/etc")
else()
    set(bw_sysconf "${bw_prefix}/etc")
endif()
file(INSTALL "${BW_PACKAGING_SOURCE}/desktop/binwarden2-menu.desktop"
    DESTINATION "${bw_sysconf}/xdg/autostart"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
