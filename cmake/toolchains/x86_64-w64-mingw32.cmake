# Cross build for 64-bit Windows: a test build, under 64-bit Wine, which runs
# natively on kernels that cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
