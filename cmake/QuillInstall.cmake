# QuillInstall.cmake - how Quill installs and packages like a system library.
#
# Components (one Debian package each with `make package`):
#   runtime  the three shared libraries (real name, SONAME link) and the two
#            data files of the lossy tile coding in share/quill;
#   dev      the headers, the unversioned .so links, the CMake package
#            (find_package(Quill CONFIG): Quill::quillstd, Quill::quillimg,
#            Quill::quillvec) and the pkg-config files;
#   tool     the quill command-line host in bin.
#
# Decisions:
#  - The CMake package and the pkg-config files are relocatable: the targets
#    file finds its prefix from its own place, the .pc files from
#    ${pcfiledir}. An install with `cmake --install --prefix P` or DESTDIR, or
#    a package unpacked elsewhere, works without a path of the configured
#    prefix. Rejected: the absolute CMAKE_INSTALL_PREFIX baked in, which
#    breaks every staged install.
#  - quillimg and quillvec link quillstd privately in the build (their
#    shells call it) but both headers include quillstd.h and hosts free
#    results with qs_free, so the imported targets and the .pc files carry
#    quillstd to the host (Requires, INTERFACE link).
#  - Package version compatibility follows the SONAME: same major version.

include(CMakePackageConfigHelpers)

set(QUILL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quill)

foreach(lib quillstd quillimg quillvec)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()
target_link_libraries(quillimg INTERFACE quillstd)
target_link_libraries(quillvec INTERFACE quillstd)
# quillimg and quillvec find the quillstd beside them wherever the tree is
# unpacked: a run path of the executable (DT_RUNPATH) does not serve the
# dependencies of its libraries.
set_target_properties(quillimg quillvec PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS quillstd quillimg quillvec EXPORT QuillTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES include/quillstd.h include/quillimg.h include/quillvec.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${QUILL_DATA_DIR}/magadan.XY ${QUILL_DATA_DIR}/urupinsk.XY
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quill COMPONENT runtime)
install(TARGETS quill RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

install(EXPORT QuillTargets NAMESPACE Quill:: DESTINATION ${QUILL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuillConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuillConfig.cmake INSTALL_DESTINATION ${QUILL_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuillConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuillConfig.cmake ${PROJECT_BINARY_DIR}/QuillConfigVersion.cmake
  DESTINATION ${QUILL_CMAKE_DIR} COMPONENT dev)

# pkg-config: ${pcfiledir} is <libdir>/pkgconfig; the prefix is found from it.
file(RELATIVE_PATH QUILL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QUILL_PC_TO_PREFIX "${QUILL_PC_TO_PREFIX}")
set(QUILL_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(QUILL_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
foreach(lib quillstd quillimg quillvec)
  set(QUILL_PC_NAME ${lib})
  if(lib STREQUAL "quillstd")
    set(QUILL_PC_DESCRIPTION "Quill base: heap, rounding and polygon points shared by the raster and vector libraries")
    set(QUILL_PC_REQUIRES "")
  elseif(lib STREQUAL "quillimg")
    set(QUILL_PC_DESCRIPTION "Quill raster library: tiled frames of huge scanned images, files, transforms, views")
    set(QUILL_PC_REQUIRES "quillstd = ${PROJECT_VERSION}")
  else()
    set(QUILL_PC_DESCRIPTION "Quill vector library: outlines, stroke graphs and centre lines of bilevel rasters")
    set(QUILL_PC_REQUIRES "quillstd = ${PROJECT_VERSION}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quill.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

include(cmake/QuillPackage.cmake)
