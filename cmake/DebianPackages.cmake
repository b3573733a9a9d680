# Debian packages made with CPack (`cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr), one per install component:
#   libvelmora0     the shared library (component runtime)
#   libvelmora-dev  header, CMake and pkg-config files, the .so link (development)
#   velmora-tools   velmora and velmora-sim with their manual pages (tools)
#   velmora-tango   the Python package with the Tango device server (tango)
# scripts/deb-test.sh builds, checks, installs and removes them.
if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(VELMORA_DEB_MAINTAINER "VELMORA maintainers <maintainers@velmora.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
mark_as_advanced(VELMORA_DEB_MAINTAINER)

set(_velmora_debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
set(_velmora_runtime_package libvelmora${PROJECT_VERSION_MAJOR})

# Every package carries its copyright file and changelog in
# /usr/share/doc/<package>. Left out of a plain `cmake --install`: only the
# packages want them.
velmora_gzip(${_velmora_debian_dir}/changelog ${CMAKE_CURRENT_BINARY_DIR}/debian
             _velmora_changelog)
function(velmora_debian_docs component package)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${_velmora_debian_dir}/copyright ${_velmora_changelog} DESTINATION ${doc_dir}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
velmora_debian_docs(runtime ${_velmora_runtime_package})
velmora_debian_docs(development libvelmora-dev)
if(TARGET velmora-cli OR TARGET velmora-sim)
  velmora_debian_docs(tools velmora-tools)
endif()

# The Tango device server: the Python package for Debian's python3, which
# finds the library of the runtime package through the system loader, and
# its command. Only the packages install it.
set(_velmora_tango_python ${PROJECT_SOURCE_DIR}/python/velmora)
install(DIRECTORY ${_velmora_tango_python} DESTINATION lib/python3/dist-packages
        COMPONENT tango EXCLUDE_FROM_ALL
        PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE PATTERN "*.so" EXCLUDE PATTERN "*.dll" EXCLUDE)
install(PROGRAMS ${_velmora_debian_dir}/velmora-tango DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tango EXCLUDE_FROM_ALL)
velmora_gzip(${PROJECT_SOURCE_DIR}/docs/man/velmora-tango.1 ${CMAKE_CURRENT_BINARY_DIR}/man
             _velmora_tango_page)
install(FILES ${_velmora_tango_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tango EXCLUDE_FROM_ALL)
velmora_debian_docs(tango velmora-tango)

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "VELMORA")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELMORA_DEB_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET velmora-cli OR TARGET velmora-sim)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
list(APPEND CPACK_COMPONENTS_ALL tango)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TANGO_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links the library of the runtime package, which is not installed
# while the packages are made: dpkg-shlibdeps finds it in the build tree, and
# the dependency on it comes from the component dependency above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_velmora_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The runtime package says which package provides libvelmora.so.0 (shlibs)
# and lets dpkg's trigger refresh the loader's cache.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_velmora_debian_dir}/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"client library for a network-attached data-acquisition device
VELMORA drives a data-acquisition device over TCP from inside the host
program's process: it configures the device, starts and stops acquisition,
fetches acquired packets with their time stamps, and reads and writes data
blocks. Its interface is fifteen flat C functions.

This package contains the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvelmora-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for the VELMORA device library
VELMORA drives a network-attached data-acquisition device over TCP from
inside the host program's process.

This package contains the C header, the CMake package (find_package(velmora))
and the pkg-config file (velmora.pc) needed to build programs that use the
library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velmora-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"command-line tool and simulated device for VELMORA
velmora drives a network-attached data-acquisition device from the shell
through the VELMORA library: settings, acquisition into raw, CSV and SVG
files, data blocks, and the meaning of result numbers.

velmora-sim runs a simulated device on a local address, for trying the
library, the tool and programs built on them without hardware.")

set(CPACK_DEBIAN_TANGO_PACKAGE_NAME velmora-tango)
set(CPACK_DEBIAN_TANGO_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TANGO_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TANGO_PACKAGE_DEPENDS "python3, python3-tango, python3-numpy")
set(CPACK_DEBIAN_TANGO_DESCRIPTION
"Tango device server for VELMORA data-acquisition devices
velmora-tango serves one channel of a network-attached data-acquisition
device as a Tango device: settings as memorised attributes, the newest
samples and counters with change and archive events pushed by the server,
Start, Stop, ReadBlock, WriteBlock and Ping commands, and automatic
reconnection after a dropped link. Start one server process per device.

This package also contains the velmora Python package it is built on.")

include(CPack)
