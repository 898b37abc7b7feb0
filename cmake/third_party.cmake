# The C libraries below never throw and never call back into code that
# does: without unwind tables they are smaller, and any exception still
# unwinds through our own frames.
set(C_LIBRARY_OPTIONS -w -fno-asynchronous-unwind-tables -fno-unwind-tables)

# zlib's inflating side, from Debian's source package that scripts/bootstrap
# unpacks into third_party/zlib; built with the programs' size flags.
set(ZLIB_DIR ${CMAKE_SOURCE_DIR}/third_party/zlib)
if(NOT EXISTS ${ZLIB_DIR}/inflate.c)
  message(FATAL_ERROR "zlib source missing: run scripts/bootstrap first")
endif()
add_library(zlib_static STATIC
  ${ZLIB_DIR}/adler32.c ${ZLIB_DIR}/crc32.c ${ZLIB_DIR}/inffast.c
  ${ZLIB_DIR}/inflate.c ${ZLIB_DIR}/inftrees.c ${ZLIB_DIR}/zutil.c)
target_include_directories(zlib_static SYSTEM PUBLIC ${ZLIB_DIR})
target_compile_options(zlib_static PRIVATE ${C_LIBRARY_OPTIONS})
# The CRC one byte at a time: a package's check costs a fraction of a second
# more, and the word-wise tables (about 6 KB) stay out of the download. Zip
# entries are raw deflate: no gzip headers to read either.
target_compile_definitions(zlib_static PRIVATE Z_TESTW= NO_GZIP)

# minizip's unzip part, from Debian's source package that scripts/bootstrap
# unpacks into third_party/minizip. Built as it is; never committed.
set(MINIZIP_DIR ${CMAKE_SOURCE_DIR}/third_party/minizip)
if(NOT EXISTS ${MINIZIP_DIR}/unzip.c)
  message(FATAL_ERROR "minizip source missing: run scripts/bootstrap first")
endif()
add_library(minizip STATIC ${MINIZIP_DIR}/unzip.c ${MINIZIP_DIR}/ioapi.c)
target_include_directories(minizip SYSTEM PUBLIC ${MINIZIP_DIR})
# The library's own code is not ours to change; keep its warnings out of ours.
target_compile_options(minizip PRIVATE ${C_LIBRARY_OPTIONS})
target_link_libraries(minizip PUBLIC zlib_static)
