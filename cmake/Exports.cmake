# Generates the export definitions of the shared library from the one export
# list, src/device/function_list.h, at configure time:
#   - the Windows module-definition file (names and fixed ordinals), and
#   - the Linux version script (exactly the exported names, all else local).
# Each entry k (from 0) of the list gets ordinals 3k+1 (NDX_), 3k+2 (_NDX_,
# the same address) and 3k+3 (VBNDX_, the stdcall wrapper).
#
# velmora_generate_exports(<list file> <output dir>) sets in the caller:
#   VELMORA_EXPORT_DEF   path of the .def file (for this target's word size)
#   VELMORA_IMPORT_DEF   path of the .def file the import libraries are made
#                        from (on 32-bit x86 the wrappers under their stdcall
#                        names, which hosts link against)
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
  set(import_lines)
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
    # A host that declares VBNDX_Go stdcall refers to _VBNDX_Go@4; the import
    # library offers that symbol and imports the undecorated export (the tools
    # are run with --kill-at).
    string(APPEND import_lines
      "  NDX_${name} @${o1}\n"
      "  _NDX_${name} @${o2}\n"
      "  ${vb_internal} @${o3}\n")
    string(APPEND map_lines "    NDX_${name};\n    _NDX_${name};\n    VBNDX_${name};\n")
  endforeach()

  if(names STREQUAL "")
    message(FATAL_ERROR "${list_file}: no export entries found")
  endif()

  set(note "Generated from src/device/function_list.h by cmake/Exports.cmake; do not edit.")
  set(def_file ${out_dir}/velmora.def)
  velmora_write_if_changed(${def_file}
    "; ${note}\nLIBRARY \"VELMORA.dll\"\nEXPORTS\n${def_lines}")

  set(import_def_file ${out_dir}/velmora-import.def)
  velmora_write_if_changed(${import_def_file}
    "; ${note}\nLIBRARY \"VELMORA.dll\"\nEXPORTS\n${import_lines}")

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
  set(VELMORA_IMPORT_DEF ${import_def_file} PARENT_SCOPE)
  set(VELMORA_EXPORT_MAP ${map_file} PARENT_SCOPE)
  set(VELMORA_EXPORT_NAMES ${all_names} PARENT_SCOPE)
endfunction()

# Import libraries of the DLL `target`, both made from VELMORA_IMPORT_DEF:
#   - VELMORA.dll.a (mingw-w64 dlltool), in place of the one the linker wrote,
#     which offers only the undecorated names and so fails a 32-bit host that
#     declares the wrappers stdcall, as the header does;
#   - VELMORA.lib (llvm-dlltool), the format Microsoft's linker reads, in the
#     current binary folder; its path is the target's property
#     VELMORA_MSVC_IMPORT_LIBRARY.
# Both import the DLL's own, undecorated names (--kill-at / -k).
function(velmora_make_import_libraries target def_file)
  if(MSVC)
    return()  # Microsoft's linker writes its own VELMORA.lib
  endif()
  string(REGEX REPLACE "-(gcc|g\\+\\+)(-posix|-win32)?$" "-dlltool" dlltool_name
         "${CMAKE_CXX_COMPILER}")
  find_program(VELMORA_DLLTOOL NAMES ${dlltool_name} dlltool REQUIRED)
  find_program(VELMORA_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
  else()
    set(machine i386:x86-64)
  endif()
  set(commands COMMAND ${VELMORA_DLLTOOL} --kill-at --input-def ${def_file}
                       --dllname VELMORA.dll --output-lib $<TARGET_LINKER_FILE:${target}>)
  set(byproducts)
  if(VELMORA_LLVM_DLLTOOL)
    set(lib ${CMAKE_CURRENT_BINARY_DIR}/VELMORA.lib)
    list(APPEND commands COMMAND ${VELMORA_LLVM_DLLTOOL} -k -m ${machine} -d ${def_file} -l ${lib})
    list(APPEND byproducts ${lib})
    set_property(TARGET ${target} PROPERTY VELMORA_MSVC_IMPORT_LIBRARY ${lib})
  else()
    message(WARNING "llvm-dlltool not found: no VELMORA.lib for Microsoft's linker")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD ${commands} BYPRODUCTS ${byproducts} VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def_file})
endfunction()
