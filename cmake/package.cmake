# Debian package: cpack -G DEB in a build configured with the package preset.
# Every install component goes into the one package: the host stand-in library
# is what lets `require "ac"` resolve, so the package cannot do without it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME acengine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "acengine maintainers <acengine@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "application-control engine for the host agent's Lua 5.2 interpreter")
set(CPACK_PACKAGE_DESCRIPTION "The allow-listing engine as the Lua modules ac, lacdc and vava,
the host library stand-in, the acagent embedding host with its user-space
fanotify driver (acagent host) and systemd service, the acpolicy helper
module for policy code, host mode's default policy (trust by content, from
the package database and an administrator's list), a sample policy and the
documentation.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
set(CPACK_DEBIAN_PACKAGE_NAME acengine)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by Lua, so dpkg-shlibdeps cannot see it: the trust policy's database.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lua-sql-sqlite3")
# The service's options and the log rotation are the administrator's to edit.
file(WRITE ${CMAKE_BINARY_DIR}/conffiles "/etc/default/acagent\n/etc/logrotate.d/acagent\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles)
include(CPack)
