# Installation: the shared library with its SONAME, the public headers as
# <zel_upnp/NAMESPACE.h>, a CMake package (zel_upnp::zel_upnp) and a
# pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS zel_upnp EXPORT zel_upnpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ZEL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zel_upnp)
if(ZEL_PLATFORM STREQUAL "generic")
  install(FILES ${CMAKE_SOURCE_DIR}/platform/include/zel_platform_log.h
                ${CMAKE_SOURCE_DIR}/platform/include/zel_platform_hooks.h
                ${CMAKE_SOURCE_DIR}/platform/include/zel_platform_services.h
                ${CMAKE_SOURCE_DIR}/platform/include/zel_platform_sim.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zel_upnp/platform)
endif()

set(ZEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zel_upnp)
install(EXPORT zel_upnpTargets NAMESPACE zel_upnp:: DESTINATION ${ZEL_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zel_upnpConfig.cmake.in
  ${CMAKE_BINARY_DIR}/zel_upnpConfig.cmake INSTALL_DESTINATION ${ZEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zel_upnpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zel_upnpConfig.cmake
              ${CMAKE_BINARY_DIR}/zel_upnpConfigVersion.cmake
        DESTINATION ${ZEL_CMAKE_DIR})

configure_file(${CMAKE_SOURCE_DIR}/cmake/zel_upnp.pc.in ${CMAKE_BINARY_DIR}/zel_upnp.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zel_upnp.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
