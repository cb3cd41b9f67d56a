# The Windows package, a ZIP: bcdmon.exe, the simulated ZEPDRIVERDLL.dll
# beside it, and a readme on putting the vendor's library in its place.
install(TARGETS bcdmon RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:zepdriver_simulated> DESTINATION .)
# Line ends for Notepad.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
               ${PROJECT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME bcdmon-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
