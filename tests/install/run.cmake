# Run by CTest, see CMakeLists.txt.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")
foreach(path bin/volmap bin/volcmp bin/vrdconvert bin/vrdinfo share/man/man1/volmap.1 share/man/man1/volcmp.1
    share/man/man1/vrdconvert.1 share/man/man1/vrdinfo.1 share/man/man3/vrd.3 ${PYTHONDIR}/vrd/__init__.py
    bin/vrdview share/man/man1/vrdview.1 share/vrd/web/index.html share/vrd/web/vrdview.js)
  if(NOT EXISTS "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
file(GLOB extension "${prefix}/${PYTHONDIR}/vrd/_vrd*.so")
if(NOT extension)
  message(FATAL_ERROR "not installed: ${PYTHONDIR}/vrd/_vrd*.so")
endif()
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
set(static --static)
if(LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
  set(static)
endif()

run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/consumer" -B "${WORK_DIR}/consumer" "-DCMAKE_PREFIX_PATH=${prefix}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DVERSION=${VERSION}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")
run("${WORK_DIR}/consumer/vrd_consumer" "${WORK_DIR}/cxx.vrd")

# The C one is linked by the C compiler: no C++ run time unless vrd.pc names it.
run("${PKG_CONFIG}" --cflags --libs ${static} "vrd = ${VERSION}")
separate_arguments(flags UNIX_COMMAND "${out}")
run("${C_COMPILER}" -std=c99 -pedantic -Wall -Wextra -Werror "${SOURCE_DIR}/roundtrip.c"
    -o "${WORK_DIR}/roundtrip_c" ${flags})
run("${WORK_DIR}/roundtrip_c" "${WORK_DIR}/c.vrd")

# The package from the prefix, as Debian's python3 finds it there: a volume
# written and read back through the installed extension.
set(ENV{PYTHONPATH} "${prefix}/${PYTHONDIR}")
run("${PYTHON}" -c "import numpy as np, vrd; a = np.arange(24, dtype=np.float32).reshape(2, 3, 4); \
vrd.write('${WORK_DIR}/py.vrd', a); assert (vrd.read('${WORK_DIR}/py.vrd')[1] == a).all(); \
assert vrd.__file__.startswith('${prefix}'), vrd.__file__")
