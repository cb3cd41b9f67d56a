# Run by CPack on the staged tree of the Debian package, before it is packed
# (CPACK_PRE_BUILD_SCRIPTS): every folder 0755, as Debian has them, whatever
# the umask of the one who builds it. The install makes the folders on the way
# to its files with the umask's mode; a package built under umask 027 would
# otherwise make /usr/lib/bcdmon unreadable to all but root, and the program
# would not start for anyone else.
file(GLOB_RECURSE folders LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*)
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY ${folder})
    file(CHMOD ${folder} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
