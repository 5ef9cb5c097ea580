# 32-bit x86 build of the core and its tests on a 64-bit x86 Linux host, with the multilib
# compilers (Debian's g++-multilib). SSE2 arithmetic, as on 64-bit: results must be the same bits.
# Use with -DCMAKE_TOOLCHAIN_FILE=cmake/x86-32.cmake -DPWPOLY_BUILD_MODULE=OFF
#          -DPWPOLY_BUILD_TESTS=ON -DPWPOLY_GTEST_FROM_SOURCE=ON
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "-m32")  # GoogleTest's project also enables C
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
