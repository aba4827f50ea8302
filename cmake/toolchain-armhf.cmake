# Cross build for the device: 32-bit ARM, hard-float (arm-linux-gnueabihf),
# with Debian's cross compiler (crossbuild-essential-armhf) and the :armhf
# -dev packages of the dependencies installed through multiarch, so the
# target's headers and libraries live in the host's own /usr/include and
# /usr/lib/arm-linux-gnueabihf. scripts/test-arm.sh installs all of it.
#
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# The built programs and tests run on this machine under qemu-user: directly
# when binfmt_misc knows ARM executables (test-arm.sh registers it), and
# through CMAKE_CROSSCOMPILING_EMULATOR wherever CMake itself starts one
# (test discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZEL_ARM_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ZEL_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZEL_ARM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZEL_ARM_TRIPLET})

# Libraries and headers of the target only; programs (pkg-config, tools) of
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake /usr/include/x86_64-linux-gnu)

# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ZEL_ARM_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(ZEL_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(ZEL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEL_QEMU_ARM})
endif()
