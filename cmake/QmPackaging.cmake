# The Debian package qmsrv_<version>_<arch>.deb (`cpack -G DEB` in the build folder): qmsrv and
# qmcli in /usr/bin, a commented /etc/qmsrv/qmsrv.conf, and the systemd unit that `qmsrv
# install` writes for /usr/bin/qmsrv with that configuration. Maintainer scripts create the
# service's system user.

set(QM_PACKAGE_VERSION "${PROJECT_VERSION}")
set(QM_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QM_PACKAGE_UNIT_DIR ${PROJECT_BINARY_DIR}/package-unit)
set(QM_PACKAGE_UNIT ${QM_PACKAGE_UNIT_DIR}/qmDBService.service)

# The unit comes from the program itself, so the package carries exactly what `install` writes.
# The build's log lines (the configuration is not there yet) stay in the build folder.
add_custom_command(
  OUTPUT ${QM_PACKAGE_UNIT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_PACKAGE_UNIT_DIR}
  COMMAND ${CMAKE_COMMAND} -E env QMSRV_UNIT_DIR=${QM_PACKAGE_UNIT_DIR}
          QMSRV_UNIT_EXEC=/usr/bin/qmsrv QMSRV_USER_LOG=1
          XDG_DATA_HOME=${PROJECT_BINARY_DIR}/package-log
          $<TARGET_FILE:qmsrv> --config /etc/qmsrv/qmsrv.conf install silent
  DEPENDS qmsrv
  COMMENT "Writing the packaged systemd unit"
  VERBATIM)
add_custom_target(qmsrv_package_unit ALL DEPENDS ${QM_PACKAGE_UNIT})

install(TARGETS qmsrv qmcli RUNTIME DESTINATION bin)
install(FILES ${QM_PACKAGING_DIR}/qmsrv.conf DESTINATION /etc/qmsrv)
install(FILES ${QM_PACKAGE_UNIT} DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qmsrv)
set(CPACK_PACKAGE_VERSION ${QM_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmoor <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QM DB Service: a database command server and its client")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time by name, so shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpq5, libfbclient2, libssl3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QM_PACKAGING_DIR}/postinst ${QM_PACKAGING_DIR}/prerm ${QM_PACKAGING_DIR}/postrm
    ${QM_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
