# A program that ships (setup.exe, UnInstall.exe). A release build drops
# unused sections and is stripped after the link; the unstripped link stays
# in <build>/unstripped, where the release check reads its symbols.
function(ship_program target)
  if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    target_link_options(${target} PRIVATE -Wl,--gc-sections)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/unstripped
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/unstripped/
      COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>)
  endif()
endfunction()
