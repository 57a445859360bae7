# Cross build for 64-bit Arm Linux with Debian's cross toolchain and the arm64 builds of the
# libraries (multiarch), run under qemu-user: scripts/arm64.sh sets it all up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and packages only from the arm64 folders; programs (pkg-config, python) from the host.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
endif()
# Test programs, and the test discovery, run under emulation.
# Without -L: the arm64 C library installed with the libraries (multiarch) is the one they were
# built against; the cross toolchain's copy under /usr/aarch64-linux-gnu hangs threads here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
