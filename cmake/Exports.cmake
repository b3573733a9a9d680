# Generates the export definitions of the shared library from the one export
# list, src/exports/export_list.h, at configure time:
#   - the Windows module-definition file (names and fixed ordinals), and
#   - the Linux version script (exactly the exported names, all else local).
# Each entry k (from 0) of the list gets ordinals 3k+1 (NDX_), 3k+2 (_NDX_,
# the same address) and 3k+3 (VBNDX_, the stdcall wrapper).
#
# velmora_generate_exports(<list file> <output dir>) sets in the caller:
#   VELMORA_EXPORT_DEF   path of the .def file (for this target's word size)
#   VELMORA_EXPORT_MAP   path of the version script
#   VELMORA_EXPORT_NAMES every exported name, in ordinal order

# Rewrites a file only when its content changes, so that a new configure run
# does not relink the library for nothing.
function(velmora_write_if_changed path content)
  file(WRITE ${path}.new "${content}")
  file(COPY_FILE ${path}.new ${path} ONLY_IF_DIFFERENT)
  file(REMOVE ${path}.new)
endfunction()

function(velmora_generate_exports list_file out_dir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})

  # The entries are lines of one macro, ending in line continuations. The
  # backslashes, and the characters that mean something in a CMake list, go
  # before the text is split into lines.
  file(READ ${list_file} text)
  string(REPLACE "\\" "" text "${text}")
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "[" "(" text "${text}")
  string(REPLACE "]" ")" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(entry_lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*X\\(")
      list(APPEND entry_lines "${line}")
    endif()
  endforeach()
  set(entry_regex "^[ \t]*X\\(([A-Za-z_][A-Za-z0-9_]*),[ \t]*([^,]+),[ \t]*([0-9]+),")

  set(names)
  set(def_lines)
  set(map_lines)
  set(ordinal 0)
  foreach(line IN LISTS entry_lines)
    if(NOT line MATCHES "${entry_regex}")
      message(FATAL_ERROR "${list_file}: cannot read this export entry:\n  ${line}")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(bytes ${CMAKE_MATCH_3})
    if(name IN_LIST names)
      message(FATAL_ERROR "${list_file}: ${name} is listed twice")
    endif()
    math(EXPR rest "${bytes} % 4")
    if(NOT rest EQUAL 0 OR bytes EQUAL 0)
      message(FATAL_ERROR "${list_file}: ${name} has ${bytes} bytes of arguments, "
                          "not a positive multiple of 4")
    endif()
    list(APPEND names ${name})

    math(EXPR o1 "${ordinal} + 1")
    math(EXPR o2 "${ordinal} + 2")
    math(EXPR o3 "${ordinal} + 3")
    set(ordinal ${o3})
    # On i686 ld adds the C underscore itself, so "VBNDX_Go@4" here stands
    # for the stdcall symbol _VBNDX_Go@4; x86_64 has no stdcall decoration.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(vb_internal "VBNDX_${name}@${bytes}")
    else()
      set(vb_internal "VBNDX_${name}")
    endif()
    string(APPEND def_lines
      "  NDX_${name} @${o1}\n"
      "  _NDX_${name} = NDX_${name} @${o2}\n")
    if(vb_internal STREQUAL "VBNDX_${name}")
      string(APPEND def_lines "  VBNDX_${name} @${o3}\n")
    else()
      string(APPEND def_lines "  VBNDX_${name} = ${vb_internal} @${o3}\n")
    endif()
    string(APPEND map_lines "    NDX_${name};\n    _NDX_${name};\n    VBNDX_${name};\n")
  endforeach()

  if(names STREQUAL "")
    message(FATAL_ERROR "${list_file}: no export entries found")
  endif()

  set(note "Generated from src/exports/export_list.h by cmake/Exports.cmake; do not edit.")
  set(def_file ${out_dir}/velmora.def)
  velmora_write_if_changed(${def_file}
    "; ${note}\nLIBRARY \"VELMORA.dll\"\nEXPORTS\n${def_lines}")

  # NDX_GetLastError exists only on Linux, where the host has no
  # GetLastError of the OS to read the last-error value with.
  set(map_file ${out_dir}/velmora.map)
  velmora_write_if_changed(${map_file}
    "/* ${note} */\n{\n  global:\n${map_lines}    NDX_GetLastError;\n  local:\n    *;\n};\n")

  set(all_names)
  foreach(name IN LISTS names)
    list(APPEND all_names NDX_${name} _NDX_${name} VBNDX_${name})
  endforeach()
  set(VELMORA_EXPORT_DEF ${def_file} PARENT_SCOPE)
  set(VELMORA_EXPORT_MAP ${map_file} PARENT_SCOPE)
  set(VELMORA_EXPORT_NAMES ${all_names} PARENT_SCOPE)
endfunction()
