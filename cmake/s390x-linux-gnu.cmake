# IBM Z: big-endian, so every word the parser loads is byte-swapped.
set(TEVORA_CROSS s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
