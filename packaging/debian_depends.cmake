# Run by CPack on the staged tree of the Debian package, before it is packed
# (CPACK_PRE_BUILD_SCRIPTS): the package's Depends, from dpkg-shlibdeps on
# every file of the program and its drivers, and what its maintainer scripts
# run. The program's driver is not a file of the package but the link of the
# alternative bcdmon-device, which postinst makes: the installed driver goes.
# For dpkg-shlibdeps the program needs the package's own driver, the
# simulated one (any would do, all need the same): -l names its folder.
set(root ${CPACK_TEMPORARY_DIRECTORY})
file(REMOVE ${root}/${CPACK_BCDMON_PRIVATE_DIR}/libzepdriver.so)
file(GLOB_RECURSE binaries LIST_DIRECTORIES false ${root}/usr/bin/* ${root}/usr/lib/*)

# dpkg-shlibdeps reads debian/control of the folder it runs in; an empty one
# does, away from the tree being packed.
set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(WRITE ${work}/debian/control "")
execute_process(
  COMMAND dpkg-shlibdeps -O -l${root}/${CPACK_BCDMON_PRIVATE_DIR}/simulated ${binaries}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE substitution
  ERROR_VARIABLE errors
  RESULT_VARIABLE result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT substitution MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps on ${binaries} failed (${result}):\n${errors}${substitution}")
endif()
# addgroup for postinst, as setcap and getcap.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}, adduser, libcap2-bin")
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
