# cmake --install: the library, the client library, the public headers, the
# tools, the channel service, a CMake package (find_package(Kestrel):
# Kestrel::kestrel and Kestrel::client) and a pkg-config file (kestrel.pc).
# Each file belongs to the component of the Debian package that carries it
# (Packaging.cmake).
include(CMakePackageConfigHelpers)

install(TARGETS kestrel kestrelclient EXPORT KestrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libkestrel
    NAMELINK_COMPONENT libkestrel-dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libkestrel-dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT libkestrel-dev)

get_property(kestrel_tools GLOBAL PROPERTY KESTREL_INSTALLED_TOOLS)
list(REMOVE_ITEM kestrel_tools kestrel-channeld)
install(TARGETS kestrel-regsvr ${kestrel_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT libkestrel)
# A daemon: with the system's administration programs.
install(TARGETS kestrel-channeld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
  COMPONENT kestrel-channeld)

set(KESTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrel)
install(EXPORT KestrelTargets NAMESPACE Kestrel:: DESTINATION ${KESTREL_CMAKE_DIR}
  COMPONENT libkestrel-dev)
# The exported name of the client library is Kestrel::client.
set_target_properties(kestrelclient PROPERTIES EXPORT_NAME client)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/KestrelConfig.cmake INSTALL_DESTINATION ${KESTREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KestrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/KestrelConfigVersion.cmake
  DESTINATION ${KESTREL_CMAKE_DIR} COMPONENT libkestrel-dev)

# kestrel.pc finds its prefix from its own folder, so that it stays right for
# cmake --install --prefix DIR, a staging folder, or a moved install.
file(RELATIVE_PATH KESTREL_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KESTREL_PC_PREFIX "${KESTREL_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrel.pc.in ${CMAKE_BINARY_DIR}/kestrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kestrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libkestrel-dev)

include(${PROJECT_SOURCE_DIR}/cmake/Packaging.cmake)
