# Shared by the Linux cross toolchains: each sets triple, processor and qemu
# and includes this. Debian's cross compilers find their own sysroot, and
# qemu-user runs what they build from the same one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu};-L;/usr/${triple})
# CPack would name the host's architecture.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian})
