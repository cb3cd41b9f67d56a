# Run by CPack on the staged tree of the Debian package, before it is packed
# (CPACK_PRE_BUILD_SCRIPTS): the package's Depends, from dpkg-shlibdeps on
# every file of the program and its drivers. The driver the program needs is
# the package's own, in its private folder: -l names it.
set(root ${CPACK_TEMPORARY_DIRECTORY})
file(GLOB_RECURSE binaries LIST_DIRECTORIES false ${root}/usr/bin/* ${root}/usr/lib/*)

# dpkg-shlibdeps reads debian/control of the folder it runs in; an empty one
# does, away from the tree being packed.
set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(WRITE ${work}/debian/control "")
execute_process(
  COMMAND dpkg-shlibdeps -O -l${root}/${CPACK_BCDMON_PRIVATE_DIR} ${binaries}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE substitution
  ERROR_VARIABLE errors
  RESULT_VARIABLE result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT substitution MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps on ${binaries} failed (${result}):\n${errors}${substitution}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
