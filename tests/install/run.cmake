# Run by CTest: installs the build tree into WORK_DIR/prefix, then builds and
# runs the two consumer programs against that prefix.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${shown}\n${out}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

set(config_args)
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

# The installed tree holds what a user of the library reaches for.
foreach(path bin/volmap bin/volcmp include/vrd/vrd.h include/vrd/slice.h
             ${LIBDIR}/cmake/vrd/vrdConfig.cmake ${LIBDIR}/cmake/vrd/vrdConfigVersion.cmake
             ${LIBDIR}/pkgconfig/vrd.pc
             share/man/man1/volmap.1 share/man/man1/volcmp.1 share/man/man3/vrd.3)
  if(NOT EXISTS "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

if(LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
endif()

# 1. C++ through find_package(vrd).
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/consumer" -B "${WORK_DIR}/consumer" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    -DCMAKE_BUILD_TYPE=Release "-DEXPECTED_VERSION=${VERSION}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer" ${config_args})
file(GLOB_RECURSE cmake_consumer "${WORK_DIR}/consumer/vrd_consumer" "${WORK_DIR}/consumer/vrd_consumer.exe")
if(NOT cmake_consumer)
  message(FATAL_ERROR "the find_package consumer was not built")
endif()
list(GET cmake_consumer 0 cmake_consumer)
run("${cmake_consumer}" "${WORK_DIR}/cmake.vrd")

# 2. C through pkg-config, linked by the C compiler: no C++ run time.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
set(static_arg)
if(LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(static_arg --static)
endif()
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs ${static_arg} vrd
  RESULT_VARIABLE status OUTPUT_VARIABLE flags ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config vrd failed: ${err}")
endif()
execute_process(COMMAND "${PKG_CONFIG}" --modversion vrd
  OUTPUT_VARIABLE pc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "vrd.pc says version '${pc_version}', the project is ${VERSION}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("${C_COMPILER}" -std=c99 -pedantic -Wall -Wextra -Werror
    "-DEXPECTED_VERSION=\"${VERSION}\""
    "${SOURCE_DIR}/roundtrip.c" -o "${WORK_DIR}/roundtrip_c" ${flags})
run("${WORK_DIR}/roundtrip_c" "${WORK_DIR}/pkgconfig.vrd")
