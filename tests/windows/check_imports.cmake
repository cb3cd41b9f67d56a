# Checks bcdmon.exe as the loader will see it, from `objdump -p`:
#   cmake -D OBJDUMP=... -D PROGRAM=bcdmon.exe -D FORMAT=pei-i386 -D MAGIC=PE32 -P check_imports.cmake
# The file format, the console subsystem, and the imports: KERNEL32.dll,
# msvcrt.dll and ZEPDRIVERDLL.dll and nothing else, the driver by the
# ordinals 10, 3, 9 and 2 and by no name.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${result}")
endif()

set(failures "")
if(NOT dump MATCHES "file format ${FORMAT}\n")
  string(APPEND failures "\n  not of the file format ${FORMAT}")
endif()
string(REPLACE "+" "[+]" magic "${MAGIC}")
if(NOT dump MATCHES "\nMagic[\t ]+[0-9a-f]+[\t ]+\\(${magic}\\)")
  string(APPEND failures "\n  not ${MAGIC}")
endif()
if(NOT dump MATCHES "\nSubsystem[\t ]+0+3[\t ]+\\(Windows CUI\\)")
  string(APPEND failures "\n  not for the console subsystem")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
list(TRANSFORM names REPLACE "DLL Name: " "")
list(SORT names)
if(NOT names STREQUAL "KERNEL32.dll;ZEPDRIVERDLL.dll;msvcrt.dll")
  string(APPEND failures "\n  imports from ${names}")
endif()

# The driver's entries: "<thunk> <hint or ordinal> <name>", a thunk with its
# top bit set being an import by ordinal, in its low 16 bits.
string(REGEX MATCH "DLL Name: ZEPDRIVERDLL.dll\n[^\n]*\n(([^\n]+\n)*)" section "${dump}")
string(REGEX MATCHALL "[^\n]+" entries "${CMAKE_MATCH_1}")
set(ordinals "")
foreach(entry IN LISTS entries)
  if(entry MATCHES "^[\t ]*(8[0-9a-f]*)([0-9a-f][0-9a-f][0-9a-f][0-9a-f])[\t ]+[0-9a-f]+[\t ]+<none>$")
    math(EXPR ordinal "0x${CMAKE_MATCH_2}")
    list(APPEND ordinals ${ordinal})
  else()
    string(APPEND failures "\n  ZEPDRIVERDLL.dll entry not by ordinal alone: ${entry}")
  endif()
endforeach()
list(SORT ordinals COMPARE NATURAL)
if(NOT ordinals STREQUAL "2;3;9;10")
  string(APPEND failures "\n  ZEPDRIVERDLL.dll ordinals ${ordinals}, expected 2;3;9;10")
endif()

if(failures)
  message(FATAL_ERROR "${PROGRAM}:${failures}")
endif()
message(STATUS "${PROGRAM}: ${FORMAT} ${MAGIC}, Windows CUI, imports ${names}, driver ordinals ${ordinals}")
