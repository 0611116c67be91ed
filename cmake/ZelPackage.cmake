# Debian packages from the build tree (cpack -G DEB, or scripts/package):
#   libzel-upnp2     the shared library (component runtime)
#   libzel-upnp-dev  headers, CMake package, pkg-config file, unversioned link (dev)
#   zel-upnp-tools   zel-sample-device, zel-stream-server, zel-stream-get and
#                    the light's description folder under share/zel-upnp (tools)
# The packages install under /usr whatever prefix the build was configured
# with. Depends of the library and the tools come from dpkg-shlibdeps (dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel-upnp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "zel_upnp maintainers <zel-upnp@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(ZEL_BUILD_TOOLS AND ZEL_BUILD_EXAMPLES)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of this very build: dpkg-shlibdeps finds it
# here, and the dependency on libzel-upnp2 comes from the component
# dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzel-upnp2)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzel-upnp-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include Boost's headers and network_layer.h needs
# Boost.Thread at link time (zel_upnp.pc, find_dependency in the CMake package).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev (>= 1.74), libboost-thread-dev (>= 1.74)")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zel-upnp-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
# The library package gets dpkg's ldconfig trigger instead of CPack's
# ldconfig postinst and postrm, so that dpkg -r removes it completely
# (a postrm alone keeps a package in the "rc" state).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/ZelDebTriggers.cmake)

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "zel_upnp shared library"
  DESCRIPTION "UPnP controlled-device and HTTP streaming library for embedded Linux")
cpack_add_component(dev DISPLAY_NAME "zel_upnp development files" DEPENDS runtime
  DESCRIPTION "Headers, CMake package and pkg-config file of zel_upnp")
cpack_add_component(tools DISPLAY_NAME "zel_upnp tools" DEPENDS runtime
  DESCRIPTION "zel-sample-device, zel-stream-server and zel-stream-get")
