# QuillPackage.cmake - Debian packages with CPack (`make package`):
#   libquill0      runtime: libquillstd.so.0, libquillimg.so.0, libquillvec.so.0
#                  and share/quill/{magadan,urupinsk}.XY
#   libquill-dev   headers, .so links, CMake package, pkg-config files
#   quill-tools    bin/quill
# The runtime package is named after the SONAME's major version, as Debian
# does, so that two major versions can be installed side by side.
#
# Dependencies: the runtime's on libc and libstdc++ come from dpkg-shlibdeps;
# the other two depend on the runtime of exactly this version (the tool is
# linked against it; the dev files name its SONAME). Rejected: shlibdeps for
# the tool, which would have to resolve our own libraries before they are
# installed.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quill)
set(CPACK_PACKAGE_VENDOR "Quill")
set(CPACK_PACKAGE_CONTACT "Quill developers <quill@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Huge raster images for CAD, GIS and document imaging hosts")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(QUILL_SOMAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquill${QUILL_SOMAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Quill shared libraries\n The raster (quillimg), vector (quillvec) and base (quillstd) libraries and the\n data files of the lossy tile coding.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquill-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libquill${QUILL_SOMAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Quill development files\n Headers, CMake package (find_package(Quill)) and pkg-config files.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quill-tools)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libquill${QUILL_SOMAJOR} (= ${PROJECT_VERSION}), libc6")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
  "Quill command-line host\n quill info, convert and demo over the Quill libraries.")

include(CPack)
