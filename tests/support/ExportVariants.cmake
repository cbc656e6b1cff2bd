# export_variant(<target> OBJECTS <object library> DESTINATION <folder>
#                EXPORTS <name>... [OMIT <name>...] [LIBRARIES <library>...])
#
# lib<target>.so in <folder>: a module of the object library's code, linked
# with LIBRARIES (what that code calls), that exports exactly the EXPORTS
# names less the OMIT ones. A linker version script makes every other symbol
# local, so the variants of a test double that each leave a name out are
# built from the same objects. The module's own calls go to its own functions
# (-Bsymbolic), never to a same-named one of another module in the process.
function(export_variant target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OBJECTS;DESTINATION" "EXPORTS;OMIT;LIBRARIES")
  set(exported ${arg_EXPORTS})
  if(arg_OMIT)
    list(REMOVE_ITEM exported ${arg_OMIT})
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  list(JOIN exported ";\n    " names)
  file(GENERATE OUTPUT ${script}
       CONTENT "{\n  global:\n    ${names};\n  local:\n    *;\n};\n")
  add_library(${target} MODULE $<TARGET_OBJECTS:${arg_OBJECTS}>)
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES})
  target_link_options(${target} PRIVATE -Wl,--version-script=${script} -Wl,-Bsymbolic -Wl,--no-undefined)
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS ${script}
    LIBRARY_OUTPUT_DIRECTORY ${arg_DESTINATION})
endfunction()
