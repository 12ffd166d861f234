# cmake --install: the library, the client library, the public headers, the
# tools, a CMake package (find_package(Kestrel): Kestrel::kestrel and
# Kestrel::client) and a pkg-config file (kestrel.pc).
include(CMakePackageConfigHelpers)

install(TARGETS kestrel kestrelclient EXPORT KestrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

get_property(kestrel_tools GLOBAL PROPERTY KESTREL_INSTALLED_TOOLS)
install(TARGETS kestrel-regsvr ${kestrel_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(KESTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrel)
install(EXPORT KestrelTargets NAMESPACE Kestrel:: DESTINATION ${KESTREL_CMAKE_DIR})
# The exported name of the client library is Kestrel::client.
set_target_properties(kestrelclient PROPERTIES EXPORT_NAME client)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/KestrelConfig.cmake INSTALL_DESTINATION ${KESTREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KestrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/KestrelConfigVersion.cmake
  DESTINATION ${KESTREL_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrel.pc.in ${CMAKE_BINARY_DIR}/kestrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kestrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
