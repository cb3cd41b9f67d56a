# The Windows package, a ZIP: bcdmon.exe, the simulated ZEPDRIVERDLL.dll
# beside it, a readme on putting the vendor's library in its place, and the
# licence.

# A version resource in `target`, from the one template of every shipped file.
function(bcdmon_add_version_resource target file_name file_type file_description)
  get_filename_component(file_internal_name ${file_name} NAME_WE)
  set(resource ${PROJECT_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()
bcdmon_add_version_resource(bcdmon bcdmon.exe VFT_APP
  "bcdmon, shows a port's byte as unpacked BCD")
bcdmon_add_version_resource(zepdriver_simulated ZEPDRIVERDLL.dll VFT_DLL
  "ZEPDRIVERDLL, the simulated port device for bcdmon")

install(TARGETS bcdmon RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:zepdriver_simulated> DESTINATION .)
# Line ends for Notepad.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
               ${PROJECT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE
               ${PROJECT_BINARY_DIR}/package/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
        DESTINATION .)

# Packed by a script of ours rather than CPack, whose ZIP lists the files in
# the order the file system gives them and keeps their owner.
find_program(BCDMON_ZIP zip REQUIRED)
# CMake keeps the name for CPack while a build folder has CPack's
# configuration, as one made by an earlier version of this build does.
file(REMOVE ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -D BUILD=${PROJECT_BINARY_DIR}
          -D NAME=bcdmon-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}
          -D ZIP=${BCDMON_ZIP} -P ${CMAKE_CURRENT_LIST_DIR}/windows_zip.cmake
  VERBATIM)
add_dependencies(package bcdmon zepdriver_simulated)
