# Runs inside cpack on the staged tree, after the install step and before the package is built.
set(bw_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(bw_helper "${bw_root}/${CPACK_BW_LIBEXECDIR}/helper")
if(NOT EXISTS "${bw_helper}")
    message(FATAL_ERROR "package: the launcher is not in the staged tree (${bw_helper})")
endif()
# The package owns the launcher as root (every file in it is root's) with the set-uid bit.
file(CHMOD "${bw_helper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE SETUID)
file(MAKE_DIRECTORY "${bw_root}/share/lintian/overrides")
file(COPY_FILE "${CPACK_BW_PACKAGING_SOURCE}/debian/lintian-overrides" "${bw_root}/share/lintian/overrides/binwarden2")
file(CHMOD "${bw_root}/share/lintian/overrides/binwarden2" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
