# Shipped programs link the C++ runtime statically so that they run on older
# distributions whose libstdc++ is behind ours; they then need only libc (and
# libdl). They are built hardened: position-independent, full RELRO with
# immediate binding, stack protector, fortified libc calls, no executable stack.
include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE card_pie_message LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "the linker cannot make position-independent executables: ${card_pie_message}")
endif()

function(card_program target)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE -fstack-protector-strong)
  if(NOT SANITIZE)
    target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack -Wl,--gc-sections)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  # What --version prints.
  target_compile_definitions(${target} PRIVATE CARD_PACKAGE="${CARD_PACKAGE_NAME}"
                             CARD_VERSION="${PROJECT_VERSION}")
  install(TARGETS ${target} RUNTIME DESTINATION bin)
endfunction()
