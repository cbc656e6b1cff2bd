# Registers one CTest test per protocol case and program variant.
#   card_add_cases(GROUP <folder under tests/cases> VARIANTS <v>...
#                  PROGRAMS <path per variant>... | PROGRAM <path for all>
#                  MODULE <path> [ENVIRONMENT <k=v>...])
# A case folder may narrow its variants with a `variants` file, and the ABIs it
# applies to (x86_64, i386) with an `abis` file; a `no-sanitizers` file leaves
# it out of sanitizer builds. Tests that need
# the private mount namespace (marbek, the LISSI path) exit 77, and so count as
# skipped, where the namespace cannot be made (not root).
function(card_add_cases)
  cmake_parse_arguments(CC "" "GROUP;MODULE;PROGRAM" "VARIANTS;PROGRAMS;ENVIRONMENT" ${ARGN})
  set(case_root ${PROJECT_SOURCE_DIR}/tests/cases/${CC_GROUP})
  file(GLOB case_dirs LIST_DIRECTORIES true ${case_root}/*)
  list(LENGTH CC_VARIANTS variant_count)
  foreach(case_dir ${case_dirs})
    if(NOT IS_DIRECTORY ${case_dir})
      continue()
    endif()
    get_filename_component(case_name ${case_dir} NAME)
    if(SANITIZE AND EXISTS ${case_dir}/no-sanitizers)
      continue()
    endif()
    if(EXISTS ${case_dir}/abis)
      file(STRINGS ${case_dir}/abis case_abis)
      if(NOT CARD_ABI IN_LIST case_abis)
        continue()
      endif()
    endif()
    set(wanted ${CC_VARIANTS})
    if(EXISTS ${case_dir}/variants)
      file(STRINGS ${case_dir}/variants wanted)
    endif()
    math(EXPR last "${variant_count} - 1")
    foreach(i RANGE ${last})
      list(GET CC_VARIANTS ${i} variant)
      if(CC_PROGRAMS)
        list(GET CC_PROGRAMS ${i} program)
      else()
        set(program ${CC_PROGRAM})
      endif()
      if(NOT variant IN_LIST wanted)
        continue()
      endif()
      set(test_name ${CC_GROUP}/${case_name}/${variant}/${CARD_ABI})
      add_test(NAME ${test_name}
               COMMAND bash ${PROJECT_SOURCE_DIR}/tests/run-case.sh
                       --variant ${variant} --program ${program}
                       --module ${CC_MODULE} --case ${case_dir})
      set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE 77 LABELS cases
                           ENVIRONMENT "${CC_ENVIRONMENT}")
    endforeach()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${case_root})
endfunction()
