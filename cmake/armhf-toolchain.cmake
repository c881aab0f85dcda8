# 32-bit ARM (armhf) with Debian's cross toolchain and multiarch :armhf
# libraries; programs and tests run under qemu-user. scripts/deps.sh arm32
# installs what it needs. YWS_ARMHF_LWS is where it unpacked libwebsockets'
# armhf headers and pkg-config file (the package conflicts with the host's).
#   cmake -S . -B build-arm32 -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The programs load the multiarch armhf libraries (/usr/lib/arm-linux-gnueabihf)
# with their own loader: under -L /usr/arm-linux-gnueabihf the cross
# toolchain's loader would meet the multiarch libc, another build, and crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

if(NOT YWS_ARMHF_LWS)
  set(YWS_ARMHF_LWS "${CMAKE_CURRENT_LIST_DIR}/../build-arm32/lws-armhf")
endif()
# Only the target's pkg-config files: the host's would hand over host libraries.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${YWS_ARMHF_LWS}/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
