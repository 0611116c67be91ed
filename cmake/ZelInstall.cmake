# Installation: the shared library with its SONAME, the public headers as
# <zel_upnp/NAMESPACE.h>, a CMake package (zel_upnp::zel_upnp) and a
# pkg-config file. Components follow the Debian packages (ZelPackage.cmake):
# runtime is the versioned library, dev everything a build against it needs,
# tools the programs and the sample device's folder.
include(CMakePackageConfigHelpers)

install(TARGETS zel_upnp EXPORT zel_upnpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ZEL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zel_upnp COMPONENT dev)
if(ZEL_PLATFORM STREQUAL "generic")
  install(FILES ${PROJECT_SOURCE_DIR}/platform/include/zel_platform_log.h
                ${PROJECT_SOURCE_DIR}/platform/include/zel_platform_hooks.h
                ${PROJECT_SOURCE_DIR}/platform/include/zel_platform_services.h
                ${PROJECT_SOURCE_DIR}/platform/include/zel_platform_sim.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zel_upnp/platform COMPONENT dev)
endif()

set(ZEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zel_upnp)
install(EXPORT zel_upnpTargets NAMESPACE zel_upnp:: DESTINATION ${ZEL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zel_upnpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zel_upnpConfig.cmake INSTALL_DESTINATION ${ZEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zel_upnpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zel_upnpConfig.cmake
              ${PROJECT_BINARY_DIR}/zel_upnpConfigVersion.cmake
        DESTINATION ${ZEL_CMAKE_DIR} COMPONENT dev)

# The pkg-config file carries absolute paths, as Debian's own do, so it is
# written at install time from the prefix actually used (cmake --install
# --prefix); DESTDIR staging and PKG_CONFIG_SYSROOT_DIR then work as for any
# system package, and a multiarch libdir (lib/x86_64-linux-gnu) stays as
# GNUInstallDirs chose it.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZEL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    # Escaped twice: the value lands in the install script below.
    set(ZEL_PC_${kind} "\\\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
  set(ZEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZEL_PC_LIBDIR \"${ZEL_PC_LIBDIR}\")
  set(ZEL_PC_INCLUDEDIR \"${ZEL_PC_INCLUDEDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/zel_upnp.pc.in\"
                 \"${PROJECT_BINARY_DIR}/zel_upnp.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/zel_upnp.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
