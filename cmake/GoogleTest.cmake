# GoogleTest for the test suite: the installed package for native builds,
# built from the Debian sources (package googletest) for cross builds, whose
# compilers cannot use the host's libraries. Either way the targets are
# GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main.
set(VELMORA_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, used for cross builds and when no installed package is found")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${VELMORA_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev (native) or googletest "
                        "(sources in ${VELMORA_GTEST_SOURCE_DIR}, for cross builds)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VELMORA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_t gtest gtest_main gmock gmock_main)
    if(TARGET ${_t} AND NOT TARGET GTest::${_t})
      add_library(GTest::${_t} ALIAS ${_t})
    endif()
  endforeach()
endif()
