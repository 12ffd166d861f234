# Debian packages, made by CPack from the install rules (scripts/package):
#
#   libkestrel        the component library, kestrel-regsvr, kestrel-classes,
#                     kestrel-publish, kestrel-listen; its maintainer scripts
#                     register the library in the machine's registry
#   libkestrel-dev    headers, the static client library, the CMake package,
#                     kestrel.pc
#   kestrel-channeld  the channel service, its systemd unit and
#                     /etc/default/kestrel-channeld
#
# Dependencies on other packages come from dpkg-shlibdeps. Configure with
# CMAKE_INSTALL_PREFIX=/usr for packages: the maintainer scripts and the
# tools name installed paths.

set(KESTREL_DEB_RELEASE 1)
set(KESTREL_DEB_VERSION ${PROJECT_VERSION}-${KESTREL_DEB_RELEASE})
set(KESTREL_PACKAGES libkestrel libkestrel-dev kestrel-channeld)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Tarnwell Networks")
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@tarnwell-networks.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KESTREL_DEB_RELEASE})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KESTREL_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger for the package with the library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_LIBKESTREL_PACKAGE_NAME libkestrel)
set(CPACK_DEBIAN_LIBKESTREL_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBKESTREL_DESCRIPTION
 "system notifications over a CORBA notification channel: library and tools
Kestrel is an in-process component library that publishes system
notifications (module, host, severity, message code, description) to a
CORBA Notification Service event channel, and receives them through a
consumer that calls the client's sink. Programs create its objects through
the registry, /etc/kestrel/registry.reg, in which this package registers
the library.

This package holds the library and the command-line programs
kestrel-publish, kestrel-listen, kestrel-regsvr and kestrel-classes.")

set(CPACK_DEBIAN_LIBKESTREL-DEV_PACKAGE_NAME libkestrel-dev)
set(CPACK_DEBIAN_LIBKESTREL-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBKESTREL-DEV_PACKAGE_DEPENDS "libkestrel (= ${KESTREL_DEB_VERSION})")
set(CPACK_COMPONENT_LIBKESTREL-DEV_DESCRIPTION
 "system notifications over a CORBA notification channel: development files
Kestrel is an in-process component library that publishes system
notifications to a CORBA Notification Service event channel and receives
them.

This package holds the headers, the static client library that creates
objects through the registry, a CMake package (find_package(Kestrel)) and
a pkg-config file (kestrel).")

set(CPACK_DEBIAN_KESTREL-CHANNELD_PACKAGE_NAME kestrel-channeld)
set(CPACK_DEBIAN_KESTREL-CHANNELD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_KESTREL-CHANNELD_DESCRIPTION
 "CORBA notification channel service for Kestrel
kestrel-channeld serves CosNotification event channels (structured push
model) at fixed object keys on a fixed port, with per-consumer queues and
flow control, so that suppliers are slowed to the pace of delivery rather
than losing notifications.

The package runs it as a systemd service, kestrel-channeld.service, with
its options in /etc/default/kestrel-channeld.")

# The maintainer scripts name installed paths.
set(KESTREL_SYSTEM_REGISTRY /etc/kestrel/registry.reg)
set(KESTREL_INSTALLED_LIBRARY
  ${CMAKE_INSTALL_FULL_LIBDIR}/libkestrel.so.${PROJECT_VERSION_MAJOR})
set(generated ${CMAKE_BINARY_DIR}/packaging)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/libkestrel/${script}.in
    ${generated}/libkestrel/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
endforeach()
# Maintainer scripts of our own replace the ones that CPack would write
# with the ldconfig call in them: the trigger does that instead.
set(CPACK_DEBIAN_LIBKESTREL_PACKAGE_CONTROL_EXTRA
  ${generated}/libkestrel/postinst ${generated}/libkestrel/prerm ${generated}/libkestrel/postrm
  ${PROJECT_SOURCE_DIR}/packaging/libkestrel/triggers)
set(CPACK_DEBIAN_LIBKESTREL_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(channeld_control ${PROJECT_SOURCE_DIR}/packaging/kestrel-channeld)
set(CPACK_DEBIAN_KESTREL-CHANNELD_PACKAGE_CONTROL_EXTRA
  ${channeld_control}/postinst ${channeld_control}/prerm ${channeld_control}/postrm
  ${channeld_control}/conffiles)
set(CPACK_DEBIAN_KESTREL-CHANNELD_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# What Debian asks of every package: its copyright and changelog.
foreach(package ${KESTREL_PACKAGES})
  set(KESTREL_DEB_PACKAGE ${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
    ${generated}/${package}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -n -9 -f -k ${generated}/${package}/changelog.Debian)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${generated}/${package}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
endforeach()

# Under /usr, where packages install, the unit and the options go where
# Debian keeps them; under any other prefix, beneath the prefix, like
# everything else.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KESTREL_UNIT_DIR /lib/systemd/system)
  set(KESTREL_DEFAULTS_DIR /etc/default)
else()
  set(KESTREL_UNIT_DIR lib/systemd/system)
  set(KESTREL_DEFAULTS_DIR ${CMAKE_INSTALL_SYSCONFDIR}/default)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kestrel-channeld.service
  DESTINATION ${KESTREL_UNIT_DIR} COMPONENT kestrel-channeld)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kestrel-channeld.default
  DESTINATION ${KESTREL_DEFAULTS_DIR} RENAME kestrel-channeld
  COMPONENT kestrel-channeld)

include(CPack)
