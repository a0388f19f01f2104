# Installation of the package around the library target (whose own install rule is in
# QORSysAllocator/CMakeLists.txt): the export set as QORSys::Allocator and QORSys::Malloc, a
# config and version file for find_package, and a pkg-config file for each library. Tests, benchmarks and fuzzers install nothing.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QORSysAllocator)

install(EXPORT QORSysAllocatorTargets
  NAMESPACE QORSys::
  DESTINATION ${QOR_CMAKE_PACKAGE_DIR}
  COMPONENT Development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/QORSysAllocatorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QORSysAllocatorConfig.cmake
  INSTALL_DESTINATION ${QOR_CMAKE_PACKAGE_DIR})
# Only the major version is a promise: 0.x releases may change the interface between minors.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/QORSysAllocatorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QORSysAllocatorConfig.cmake
              ${PROJECT_BINARY_DIR}/QORSysAllocatorConfigVersion.cmake
  DESTINATION ${QOR_CMAKE_PACKAGE_DIR}
  COMPONENT Development)

# pkg-config: paths relative to the .pc file, so the prefix given to `cmake --install --prefix`
# (decided after configuration) is the one the file names.
set(QOR_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${QOR_PC_DIR}")
  set(QOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QOR_PC_RELATIVE_PREFIX /prefix/${QOR_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" QOR_PC_RELATIVE_PREFIX "${QOR_PC_RELATIVE_PREFIX}")
  set(QOR_PC_PREFIX "\${pcfiledir}/${QOR_PC_RELATIVE_PREFIX}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QOR_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QOR_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
foreach(package QORSysAllocator QORSysMalloc)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${package}.pc.in ${PROJECT_BINARY_DIR}/${package}.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${package}.pc DESTINATION ${QOR_PC_DIR}
    COMPONENT Development)
endforeach()
