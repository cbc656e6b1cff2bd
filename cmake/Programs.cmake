# Shipped programs link the C++ runtime statically so that they run on older
# distributions whose libstdc++ is behind ours; they then need only libc (and
# libdl). They are built hardened: position-independent, full RELRO with
# immediate binding, stack protector, fortified libc calls, no executable stack.
function(card_program target)
  target_compile_options(${target} PRIVATE -fPIE -fstack-protector-strong)
  if(NOT SANITIZE)
    target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_link_options(${target} PRIVATE -pie -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  install(TARGETS ${target} RUNTIME DESTINATION bin)
endfunction()
