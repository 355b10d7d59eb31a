# Installation of the programs, the library with its public headers, a CMake
# package, a pkg-config file and the man pages; and the Debian package that
# `cpack -G DEB` makes from the same install rules.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

include("${CMAKE_CURRENT_LIST_DIR}/versionCheck.cmake")

get_target_property(VRD_LIBRARY_TYPE vrd TYPE)
set(VRD_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/vrd")

# Installed programs find a shared vrd beside them, wherever the prefix is.
if(VRD_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH _vrd_bin_to_lib "/_/${CMAKE_INSTALL_BINDIR}" "/_/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(volmap volcmp vrdconvert vrdinfo vrdview PROPERTIES INSTALL_RPATH "$ORIGIN/${_vrd_bin_to_lib}")
endif()

# The library's PUBLIC_HEADER names files relative to its own directory;
# install() here resolves them from this one, so make them absolute.
get_target_property(_vrd_source_dir vrd SOURCE_DIR)
get_target_property(_vrd_headers vrd PUBLIC_HEADER)
set(_vrd_header_paths)
foreach(_vrd_header IN LISTS _vrd_headers)
  get_filename_component(_vrd_header "${_vrd_header}" ABSOLUTE BASE_DIR "${_vrd_source_dir}")
  list(APPEND _vrd_header_paths "${_vrd_header}")
endforeach()
set_target_properties(vrd PROPERTIES PUBLIC_HEADER "${_vrd_header_paths}")

install(TARGETS volmap volcmp vrdconvert vrdinfo vrdview
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# vrdconvert's GDCM module, where the program looks for it from its own bin folder.
install(TARGETS vrdconvert_gdcm LIBRARY DESTINATION "${VRDCONVERT_GDCM_INSTALL_DIR}")
# vrdview's page, where the program looks for it from its own bin folder.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/web/" DESTINATION "${VRDVIEW_WEB_INSTALL_DIR}")

# The target itself names <prefix>/include for its users; another include
# directory is added to that.
set(_vrd_includes)
if(NOT CMAKE_INSTALL_INCLUDEDIR STREQUAL "include")
  set(_vrd_includes INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
endif()
install(TARGETS vrd EXPORT vrdTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/vrd"
  ${_vrd_includes})

# CMake package: vrdConfig.cmake, vrdConfigVersion.cmake, vrdTargets*.cmake.
install(EXPORT vrdTargets
  NAMESPACE vrd::
  DESTINATION "${VRD_CMAKE_INSTALL_DIR}")
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/vrdConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/vrdConfig.cmake"
  INSTALL_DESTINATION "${VRD_CMAKE_INSTALL_DIR}")
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/vrdConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/vrdConfig.cmake"
  "${PROJECT_BINARY_DIR}/vrdConfigVersion.cmake"
  DESTINATION "${VRD_CMAKE_INSTALL_DIR}")

# pkg-config file. Its prefix is found from the file's own place, so the tree
# works under any --prefix and inside the Debian package alike.
set(VRD_PC_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${VRD_PC_INSTALL_DIR}")
  set(VRD_PC_TO_PREFIX "..")   # unused: libdir and includedir are absolute then
else()
  file(RELATIVE_PATH VRD_PC_TO_PREFIX "/_/${VRD_PC_INSTALL_DIR}" "/_")
  string(REGEX REPLACE "/$" "" VRD_PC_TO_PREFIX "${VRD_PC_TO_PREFIX}")
endif()
foreach(_vrd_kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_vrd_kind}}")
    set(VRD_PC_${_vrd_kind} "${CMAKE_INSTALL_${_vrd_kind}}")
  else()
    set(VRD_PC_${_vrd_kind} "\${prefix}/${CMAKE_INSTALL_${_vrd_kind}}")
  endif()
endforeach()
# zlib is private to the library: only a static link (pkg-config --static)
# needs it. Named as a pkg-config module where zlib has one, else as -lz.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(VRD_ZLIB_PC QUIET zlib)
endif()
# The slice engine runs on POSIX threads, which a static link names too.
if(VRD_ZLIB_PC_FOUND)
  set(VRD_PC_PRIVATE "Requires.private: zlib\nLibs.private: -ldeflate -pthread")
else()
  set(VRD_PC_PRIVATE "Libs.private: -lz -ldeflate -pthread")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/vrd.pc.in" "${PROJECT_BINARY_DIR}/vrd.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/vrd.pc" DESTINATION "${VRD_PC_INSTALL_DIR}")

# Man pages.
install(FILES
  "${PROJECT_SOURCE_DIR}/docs/man/volmap.1"
  "${PROJECT_SOURCE_DIR}/docs/man/volcmp.1"
  "${PROJECT_SOURCE_DIR}/docs/man/vrdconvert.1"
  "${PROJECT_SOURCE_DIR}/docs/man/vrdinfo.1"
  "${PROJECT_SOURCE_DIR}/docs/man/vrdview.1"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES
  "${PROJECT_SOURCE_DIR}/docs/man/vrd.3"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man3")

# The Python package, where Debian's python3 looks for the modules of a prefix:
# lib/python3.X/dist-packages (/usr/local/lib/python3.11/dist-packages and
# /usr/lib/python3.11/dist-packages are on its path).
set(_vrd_python_dir "${CMAKE_INSTALL_LIBDIR}/python3/dist-packages")
if(EXISTS /usr/bin/python3)
  execute_process(COMMAND /usr/bin/python3 -c "import sys; print('python%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE _vrd_python OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _vrd_python_status)
  if(_vrd_python_status EQUAL 0 AND _vrd_python MATCHES "^python3\\.[0-9]+$")
    set(_vrd_python_dir "${CMAKE_INSTALL_LIBDIR}/${_vrd_python}/dist-packages")
  endif()
endif()
set(VRD_PYTHON_INSTALL_DIR "${_vrd_python_dir}" CACHE STRING
    "Where the package python/vrd is installed, below the prefix")
install(FILES ${VRD_PYTHON_SOURCES} DESTINATION "${VRD_PYTHON_INSTALL_DIR}/vrd")
install(TARGETS vrd_python LIBRARY DESTINATION "${VRD_PYTHON_INSTALL_DIR}/vrd")
# An extension linked to a shared vrd finds it in the prefix's lib/.
if(VRD_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY" AND NOT IS_ABSOLUTE "${VRD_PYTHON_INSTALL_DIR}")
  file(RELATIVE_PATH _vrd_py_to_lib "/_/${VRD_PYTHON_INSTALL_DIR}/vrd" "/_/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(vrd_python PROPERTIES INSTALL_RPATH "$ORIGIN/${_vrd_py_to_lib}")
endif()

# Debian package: cpack -G DEB in the build directory.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vrd")
set(CPACK_PACKAGE_VENDOR "vrd maintainers")
set(VRD_PACKAGE_MAINTAINER "vrd maintainers <vrd@volumes.example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${VRD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The vrd library reads and writes three-dimensional voxel volumes stored
slice by slice as raw or zlib blocks behind a binary PNM image header.
This package holds the programs volmap (trapezoidal intensity window) and
volcmp (voxel-by-voxel comparison), the library with its C headers, a
CMake package, a pkg-config file and the manual pages.")
set(CPACK_DEBIAN_PACKAGE_SECTION "science")
find_program(VRD_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VRD_DPKG_SHLIBDEPS)
if(VRD_DPKG_SHLIBDEPS)
  # Lists zlib1g, libdeflate0, libtiff, NIfTI's library, GDCM (vrdconvert's module) and the C and
  # C++ run-time libraries, with their versions.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "zlib1g, libdeflate0, libtiff6, libnifti2-2, libznz3, libgdcm3.0, libstdc++6, libc6")
endif()
if(VRD_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  # Linking the static library needs the development files of zlib and libdeflate.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zlib1g-dev, libdeflate-dev")
else()
  # A shlibs file for packages that link libvrd.so.1, and an ldconfig trigger.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
include(CPack)
