# Cross build for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and the
# target's libraries from multiarch (libgtest-dev:arm64, libssl-dev:arm64; see
# scripts/install-aarch64.sh):
#   cmake -S . -B build-aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
# ctest runs the tests under qemu-user. The target's own loader and libraries are found at their
# multiarch places, so qemu needs no -L prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The CPU model with every instruction qemu knows, the AES ones included.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu max CACHE STRING "Runs the target's programs")

# pkg-config (through which FindOpenSSL looks first) would name the host's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)
