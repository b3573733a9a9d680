# Install rules: the shared library, the public header, a CMake package
# (find_package(velmora) -> velmora::velmora), a pkg-config file (velmora.pc)
# and, when they are built, the programs velmora and velmora-sim with their
# manual pages. Both package files locate the installation relative to
# themselves, so `cmake --install <build> --prefix <dir>` may pick any prefix
# after configuring.
include(CMakePackageConfigHelpers)

set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velmora CACHE STRING
    "Where the CMake package files go, relative to the prefix")
mark_as_advanced(VELMORA_CMAKE_DIR)

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

# velmora_gzip(<file> <dir> <result variable>): <dir>/<name>.gz, made now
# and again whenever <file> changes, with no time stamp inside; the file
# itself where gzip is missing.
function(velmora_gzip file dir result)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  find_program(VELMORA_GZIP gzip)
  mark_as_advanced(VELMORA_GZIP)
  if(NOT VELMORA_GZIP)
    set(${result} ${file} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(name ${file} NAME)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${VELMORA_GZIP} -9 -n -c ${file}
                  OUTPUT_FILE ${dir}/${name}.gz RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
  set(${result} ${dir}/${name}.gz PARENT_SCOPE)
endfunction()

# The programs. Installed under a prefix of one's own they find the library
# through a run path relative to themselves; in a system folder the loader
# finds it anyway and no run path is written.
set(_velmora_programs)
foreach(_target velmora-cli velmora-sim)
  if(TARGET ${_target})
    list(APPEND _velmora_programs ${_target})
  endif()
endforeach()
if(_velmora_programs)
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" _velmora_system_libdir)
  if(NOT WIN32 AND NOT APPLE AND _velmora_system_libdir EQUAL -1)
    file(RELATIVE_PATH _velmora_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(${_velmora_programs} PROPERTIES
      INSTALL_RPATH "\$ORIGIN/${_velmora_bin_to_lib}")
  endif()
  install(TARGETS ${_velmora_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

  # Manual pages, compressed as manual readers and Debian expect them (at
  # configure time, so that installing needs no build step for them).
  if(NOT WIN32)
    set(_velmora_pages)
    foreach(_target IN LISTS _velmora_programs)
      get_target_property(_name ${_target} OUTPUT_NAME)
      if(NOT _name)
        set(_name ${_target})
      endif()
      velmora_gzip(${PROJECT_SOURCE_DIR}/docs/man/${_name}.1 ${CMAKE_CURRENT_BINARY_DIR}/man _page)
      list(APPEND _velmora_pages ${_page})
    endforeach()
    install(FILES ${_velmora_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endif()
