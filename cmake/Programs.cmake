# Shipped programs link the C++ runtime statically so that they run on older
# distributions whose libstdc++ is behind ours; they then need only libc (and libdl).
function(card_program target)
  if(NOT SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
