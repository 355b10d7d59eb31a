# Fails the configure step when the version macros of vrd/header.h differ
# from the project version, so the two cannot drift apart.
file(STRINGS "${PROJECT_SOURCE_DIR}/vrd/header.h" _vrd_version_lines
     REGEX "^#define[ \t]+VRD_VERSION_(MAJOR|MINOR|PATCH)[ \t]")
foreach(_vrd_part MAJOR MINOR PATCH)
  set(_vrd_value "")
  foreach(_vrd_line IN LISTS _vrd_version_lines)
    if(_vrd_line MATCHES "^#define[ \t]+VRD_VERSION_${_vrd_part}[ \t]+([0-9]+)[ \t]*$")
      set(_vrd_value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT _vrd_value STREQUAL "${PROJECT_VERSION_${_vrd_part}}")
    message(FATAL_ERROR
      "vrd/header.h defines VRD_VERSION_${_vrd_part} as '${_vrd_value}', "
      "but the project version is ${PROJECT_VERSION}: make them agree.")
  endif()
endforeach()
unset(_vrd_version_lines)
unset(_vrd_part)
unset(_vrd_value)
unset(_vrd_line)
