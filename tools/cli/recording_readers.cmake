# The tool's readers of recordings (HDF5 files, side files) and what they
# need, for programs other than the tool that run them on their own: the
# fuzz target and its corpus replay. Native builds with the HDF5 library only.
set(VELMORA_RECORDING_READER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/recordings/recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output/json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordings/h5_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordings/h5_recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output/printable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordings/isolated_read.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output/terminal.cpp
  # Failure, which every reader throws, and what it says of library results.
  ${CMAKE_CURRENT_LIST_DIR}/device/device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device/results.cpp)
set(VELMORA_RECORDING_READER_DIR ${CMAKE_CURRENT_LIST_DIR})

# Compiles the readers into `target` and links what they use.
function(velmora_add_recording_readers target)
  find_package(HDF5 COMPONENTS C REQUIRED)
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json CONFIG REQUIRED)
  target_sources(${target} PRIVATE ${VELMORA_RECORDING_READER_SOURCES})
  target_include_directories(${target} PRIVATE ${VELMORA_RECORDING_READER_DIR} ${PROJECT_SOURCE_DIR}/include)
  target_include_directories(${target} SYSTEM PRIVATE ${HDF5_C_INCLUDE_DIRS} ${HDF5_INCLUDE_DIRS})
  target_compile_definitions(${target} PRIVATE VELMORA_PROJECT_VERSION="${PROJECT_VERSION}"
                                               ${HDF5_C_DEFINITIONS} ${HDF5_DEFINITIONS})
  target_link_libraries(${target} PRIVATE velmora velmora_wire_vocabulary CLI11::CLI11
                                          nlohmann_json::nlohmann_json ${HDF5_C_LIBRARIES})
endfunction()
