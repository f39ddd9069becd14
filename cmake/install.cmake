# Install rules, in three components a packager can split:
#   Runtime      the shared library (with its SONAME link on Linux)
#   Development  lyrx.h, the unversioned .so link or import library, the CMake
#                package (find_package(lyrx) -> lyrx::lyrx) and lyrx.pc
#   Tool         the lyrx command and its manual page
# Tests, benchmarks and fuzz targets are never installed.
include(CMakePackageConfigHelpers)

set(LYRX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/lyrx" CACHE STRING
  "Where the CMake package files go, relative to the prefix")

install(TARGETS lyrx EXPORT lyrxTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/lyrx.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

install(EXPORT lyrxTargets NAMESPACE lyrx::
  DESTINATION ${LYRX_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(cmake/lyrxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lyrxConfig.cmake
  INSTALL_DESTINATION ${LYRX_INSTALL_CMAKEDIR})
# The SONAME changes with the major version, and so may the API.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lyrxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lyrxConfig.cmake ${PROJECT_BINARY_DIR}/lyrxConfigVersion.cmake
  DESTINATION ${LYRX_INSTALL_CMAKEDIR} COMPONENT Development)

# lyrx.pc names the prefix the files are installed under, which is only known
# when installing (cmake --install --prefix DIR), so it is written then.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(LYRX_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(LYRX_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(LYRX_PC_PREFIX "@LYRX_PC_PREFIX@")
configure_file(cmake/lyrx.pc.in ${PROJECT_BINARY_DIR}/lyrx.pc.in @ONLY)
install(CODE "
  set(LYRX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/lyrx.pc.in\" \"${PROJECT_BINARY_DIR}/lyrx.pc\" @ONLY)"
  COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/lyrx.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

if(TARGET lyrx_cli)
  # The installed tool finds the library beside it, under any prefix.
  if(NOT WIN32 AND NOT APPLE)
    file(RELATIVE_PATH _lyrx_bin_to_lib
      "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(lyrx_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${_lyrx_bin_to_lib}")
  endif()
  install(TARGETS lyrx_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tool)
  # The tool's manual page.
  if(EXISTS "${PROJECT_SOURCE_DIR}/man/lyrx.1")
    install(FILES man/lyrx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tool)
  endif()
endif()
