# Installation: the daemon and the operator tool, their manual pages, the
# sample configuration and a systemd unit. Honours CMAKE_INSTALL_PREFIX
# (also when changed with `cmake --install --prefix`) and DESTDIR.
#
#   VELLICOR_SYSTEMD_UNITDIR  where the unit goes; relative to the prefix
#                             unless absolute (default lib/systemd/system)
#   VELLICOR_INSTALL_SYSTEMD  install the unit at all (default ON)
include(GNUInstallDirs)

set(VELLICOR_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory for the systemd unit, relative to the prefix unless absolute")
option(VELLICOR_INSTALL_SYSTEMD "Install the systemd unit" ON)

install(TARGETS vellicor vellicor-tag RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/vellicor.8 ${PROJECT_SOURCE_DIR}/doc/vellicor-tag.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/doc/vellicor.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/vellicor.conf.sample DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit names the installed binary and configuration file, so it is
# written at install time, when the final prefix is known. The
# configuration directory follows the GNU rules: /etc for the prefixes /
# and /usr, /etc/opt/... for a prefix under /opt, PREFIX/etc otherwise.
if(VELLICOR_INSTALL_SYSTEMD)
  install(CODE "
    set(vellicor_prefix \"\${CMAKE_INSTALL_PREFIX}\")
    string(REGEX REPLACE \"/+$\" \"\" vellicor_prefix \"\${vellicor_prefix}\")
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_SYSCONFDIR}\")
      set(VELLICOR_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    elseif(vellicor_prefix STREQUAL \"\" OR vellicor_prefix STREQUAL \"/usr\")
      set(VELLICOR_SYSCONFDIR \"/${CMAKE_INSTALL_SYSCONFDIR}\")
    elseif(vellicor_prefix MATCHES \"^/opt/\")
      set(VELLICOR_SYSCONFDIR \"/${CMAKE_INSTALL_SYSCONFDIR}\${vellicor_prefix}\")
    else()
      set(VELLICOR_SYSCONFDIR \"\${vellicor_prefix}/${CMAKE_INSTALL_SYSCONFDIR}\")
    endif()
    set(VELLICOR_SBINDIR \"\${vellicor_prefix}/${CMAKE_INSTALL_SBINDIR}\")
    if(IS_ABSOLUTE \"${VELLICOR_SYSTEMD_UNITDIR}\")
      set(vellicor_unitdir \"${VELLICOR_SYSTEMD_UNITDIR}\")
    else()
      set(vellicor_unitdir \"\${vellicor_prefix}/${VELLICOR_SYSTEMD_UNITDIR}\")
    endif()
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/vellicor.service.in\"
                   \"${PROJECT_BINARY_DIR}/dist/vellicor.service\" @ONLY)
    file(INSTALL DESTINATION \"\${vellicor_unitdir}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${PROJECT_BINARY_DIR}/dist/vellicor.service\")
  ")
endif()
