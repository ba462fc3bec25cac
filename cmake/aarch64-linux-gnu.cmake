# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu), whose
# headers and static C library live under /usr/aarch64-linux-gnu. Programs the build runs, and the
# tests, go through qemu-user (qemu-user-static), so no Arm machine is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVEL_TRIPLET aarch64-linux-gnu)

set(CMAKE_CXX_COMPILER ${ORVEL_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static emulator: it runs the same inside an empty chroot, where no loader for it exists.
find_program(ORVEL_QEMU_AARCH64 qemu-aarch64-static)
if(ORVEL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEL_QEMU_AARCH64})
endif()

# Every program of the build is linked statically, the tests as well as orvel: qemu-user then
# needs no Arm dynamic loader and libraries from the host to run them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
