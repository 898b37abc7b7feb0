# A program that ships (setup.exe, UnInstall.exe), with the runtime's
# container errors of support/CxxRuntime.cpp. A release build drops
# unused sections and is stripped after the link; the unstripped link stays
# in <build>/unstripped, where the release check reads its symbols. Given a
# certificate, the stripped program is then signed (cmake/sign.sh; the
# password comes from the environment, see there).
set(SETUP_SIGN_PFX "" CACHE FILEPATH "PKCS#12 certificate that signs the shipped programs")
set(SETUP_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signatures")

# The unstripped copy goes to the optional second argument's folder.
function(ship_program target)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:cxx_runtime>)
  set(unstripped ${CMAKE_BINARY_DIR}/unstripped)
  if(ARGC GREATER 1)
    set(unstripped ${ARGV1})
  endif()
  if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    # The link map beside the unstripped copy tells which object each byte
    # comes from (bench/size_map.py).
    file(MAKE_DIRECTORY ${unstripped})
    target_link_options(${target} PRIVATE -Wl,--gc-sections
      -Wl,-Map=${unstripped}/$<TARGET_FILE_BASE_NAME:${target}>.map)
    set(sign)
    if(SETUP_SIGN_PFX)
      set(sign COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/sign.sh $<TARGET_FILE:${target}>
               ${SETUP_SIGN_PFX} ${SETUP_SIGN_TIMESTAMP_URL})
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${unstripped}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${unstripped}/
      # strip writes the PE header anew, with the current time unless told
      # otherwise; 0 is what the link wrote (CMakeLists.txt).
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
              ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
      ${sign})
  endif()
endfunction()
