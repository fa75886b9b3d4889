# The tool alone on musl for x86-64 (musl-dev).
set(MUSL_TRIPLE x86_64-linux-musl)
set(MUSL_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
