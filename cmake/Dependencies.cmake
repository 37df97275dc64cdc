# Third-party code, built from sources that scripts/setup unpacks from
# Debian's source packages: zlib with its contrib/minizip, and GoogleTest.

set(BC_ZLIB_DIR ${BC_DEPS_DIR}/zlib)
if(NOT EXISTS ${BC_ZLIB_DIR}/contrib/minizip/unzip.c)
    message(FATAL_ERROR "zlib sources not found in ${BC_ZLIB_DIR}; run scripts/setup first")
endif()

add_library(zlibstatic STATIC
    ${BC_ZLIB_DIR}/adler32.c ${BC_ZLIB_DIR}/compress.c ${BC_ZLIB_DIR}/crc32.c
    ${BC_ZLIB_DIR}/deflate.c ${BC_ZLIB_DIR}/gzclose.c ${BC_ZLIB_DIR}/gzlib.c
    ${BC_ZLIB_DIR}/gzread.c ${BC_ZLIB_DIR}/gzwrite.c ${BC_ZLIB_DIR}/infback.c
    ${BC_ZLIB_DIR}/inffast.c ${BC_ZLIB_DIR}/inflate.c ${BC_ZLIB_DIR}/inftrees.c
    ${BC_ZLIB_DIR}/trees.c ${BC_ZLIB_DIR}/uncompr.c ${BC_ZLIB_DIR}/zutil.c)
target_include_directories(zlibstatic SYSTEM PUBLIC ${BC_ZLIB_DIR})
target_compile_options(zlibstatic PRIVATE -w)

add_library(minizip STATIC
    ${BC_ZLIB_DIR}/contrib/minizip/ioapi.c
    ${BC_ZLIB_DIR}/contrib/minizip/unzip.c
    ${BC_ZLIB_DIR}/contrib/minizip/zip.c)
target_include_directories(minizip SYSTEM PUBLIC ${BC_ZLIB_DIR}/contrib/minizip)
# No encryption support: the packages and log archives are plain zips.
target_compile_definitions(minizip PUBLIC NOCRYPT NOUNCRYPT)
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC zlibstatic)

set(BC_GTEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${BC_GTEST_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${BC_GTEST_DIR}; run scripts/setup first")
endif()
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${BC_GTEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
