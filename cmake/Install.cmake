# Install rules for the library: the shared library, the public header, a
# CMake package (find_package(velmora) -> velmora::velmora) and a pkg-config
# file (velmora.pc). Both package files locate the installation relative to
# themselves, so `cmake --install <build> --prefix <dir>` may pick any prefix
# after configuring.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velmora CACHE STRING
    "Where the CMake package files go, relative to the prefix")
mark_as_advanced(VELMORA_CMAKE_DIR)

# Consumers get the header through the target, in the build tree and once
# installed.
target_include_directories(velmora INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(velmora PROPERTIES EXPORT_NAME velmora)
add_library(velmora::velmora ALIAS velmora)

if(NOT WIN32)
  # libvelmora.so -> libvelmora.so.0 -> libvelmora.so.0.1.0: the export list
  # fixes the interface, so only an incompatible change to it moves SOVERSION.
  set_target_properties(velmora PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS velmora EXPORT velmoraTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/velmora.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT velmoraTargets NAMESPACE velmora::
  DESTINATION ${VELMORA_CMAKE_DIR} FILE velmoraTargets.cmake COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velmoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velmoraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_CMAKE_DIR})
# Within 0.x every minor version may change the interface; from 1.0 on, the
# major version alone decides.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_velmora_compatibility SameMinorVersion)
else()
  set(_velmora_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY ${_velmora_compatibility})
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/velmoraConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/velmoraConfigVersion.cmake
  DESTINATION ${VELMORA_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place (pcfiledir),
# unless the directories were given as absolute paths.
set(_velmora_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VELMORA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VELMORA_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VELMORA_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _velmora_up /${_velmora_pc_dir} /)
  string(REGEX REPLACE "/$" "" _velmora_up "${_velmora_up}")
  set(VELMORA_PC_PREFIX "\${pcfiledir}/${_velmora_up}")
  set(VELMORA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VELMORA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(WIN32)
  set(VELMORA_PC_LIBNAME VELMORA)
else()
  set(VELMORA_PC_LIBNAME velmora)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmora.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velmora.pc
  DESTINATION ${_velmora_pc_dir} COMPONENT development)
