# Delay-load import libraries for the system DLLs that are not among the
# system's known DLLs (gdiplus, wininet): the loader would look for those in
# the program's own folder first, and a web installer runs from Downloads.
function(add_delayload_library name dll importlib)
  find_library(${name}_IMPLIB NAMES lib${importlib}.a REQUIRED)
  set(out ${CMAKE_BINARY_DIR}/lib/lib${name}.a)
  add_custom_command(
    OUTPUT ${out}
    COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/make_delaylib.sh ${TOOLCHAIN_PREFIX}
            ${${name}_IMPLIB} ${dll} ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/make_delaylib.sh
    COMMENT "Delay-load library for ${dll}")
  add_custom_target(${name}_gen DEPENDS ${out})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${out})
  add_dependencies(${name} ${name}_gen)
endfunction()

add_delayload_library(gdiplus_delay gdiplus.dll gdiplus)
add_delayload_library(wininet_delay wininet.dll wininet)
