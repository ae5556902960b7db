# Cross-compiles for the Debian target TEVORA_CROSS (set by the file that
# includes this one) with the compilers of crossbuild-essential-*; the
# tests run under qemu-user, with the target's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TEVORA_CROSS}")
set(CMAKE_C_COMPILER ${TEVORA_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${TEVORA_CROSS}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TEVORA_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${TEVORA_CROSS})
