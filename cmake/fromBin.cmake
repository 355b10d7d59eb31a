# The way from the bin folder to a folder below the install prefix, so that a
# program finds its installed files from where it runs: in the build tree (the
# files are put the same way from its bin folder) and in any prefix, moved or
# not. An absolute folder gives the fallback.
function(vrd_path_from_bin out folder fallback)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${folder}")
    set(${out} "${fallback}" PARENT_SCOPE)
  else()
    file(RELATIVE_PATH _path "/_/${CMAKE_INSTALL_BINDIR}" "/_/${folder}")
    set(${out} "${_path}" PARENT_SCOPE)
  endif()
endfunction()
