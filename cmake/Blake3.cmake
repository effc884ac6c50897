# BLAKE3 from the official C sources that Debian's librust-blake3-dev installs;
# nothing is copied into the repository and nothing is downloaded.
file(GLOB blake3_candidates LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT blake3_candidates COMPARE NATURAL ORDER DESCENDING)
set(BLAKE3_C_DIR "" CACHE PATH "Folder holding blake3.h and blake3.c")
if(NOT BLAKE3_C_DIR)
  foreach(dir ${blake3_candidates})
    if(EXISTS ${dir}/blake3.h AND EXISTS ${dir}/blake3_dispatch.c)
      set(BLAKE3_C_DIR ${dir})
      break()
    endif()
  endforeach()
endif()
if(NOT BLAKE3_C_DIR OR NOT EXISTS ${BLAKE3_C_DIR}/blake3.h)
  message(FATAL_ERROR "BLAKE3 C sources not found: install the Debian package librust-blake3-dev "
                      "(scripts/setup.sh does), or set BLAKE3_C_DIR")
endif()
message(STATUS "BLAKE3 sources: ${BLAKE3_C_DIR}")

add_library(blake3 STATIC
  ${BLAKE3_C_DIR}/blake3.c
  ${BLAKE3_C_DIR}/blake3_dispatch.c
  ${BLAKE3_C_DIR}/blake3_portable.c
  ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)
target_include_directories(blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(blake3 PRIVATE -w)
