# zlib: Debian's static libz.a for the cross target.
find_library(ZLIB_STATIC NAMES libz.a z REQUIRED)
find_path(ZLIB_INCLUDE NAMES zlib.h REQUIRED)
add_library(zlib_static STATIC IMPORTED GLOBAL)
set_target_properties(zlib_static PROPERTIES
  IMPORTED_LOCATION ${ZLIB_STATIC}
  INTERFACE_INCLUDE_DIRECTORIES ${ZLIB_INCLUDE})

# minizip's unzip part, from Debian's source package that scripts/bootstrap
# unpacks into third_party/minizip. Built as it is; never committed.
set(MINIZIP_DIR ${CMAKE_SOURCE_DIR}/third_party/minizip)
if(NOT EXISTS ${MINIZIP_DIR}/unzip.c)
  message(FATAL_ERROR "minizip source missing: run scripts/bootstrap first")
endif()
add_library(minizip STATIC ${MINIZIP_DIR}/unzip.c ${MINIZIP_DIR}/ioapi.c)
target_include_directories(minizip SYSTEM PUBLIC ${MINIZIP_DIR})
# The library's own code is not ours to change; keep its warnings out of ours.
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC zlib_static)
