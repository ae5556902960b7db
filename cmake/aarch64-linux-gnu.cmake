# 64-bit Arm, little-endian.
set(TEVORA_CROSS aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
