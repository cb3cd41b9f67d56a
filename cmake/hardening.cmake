# What ships on Linux is hardened as Debian hardens a package (dpkg-buildflags'
# hardening=+all on Debian 12): the C library's checked calls where a size is
# known, a canary in every function with an array or a local whose address is
# taken, a position-independent program, and in the program and every driver
# all relocations done at load and then made read-only (full RELRO, bind now).
# Each is added only where the compiler, with the builder's own flags, does not
# do it already: a packager's flags or a compiler that hardens by default are
# tried, not read, so that nothing is redefined (_FORTIFY_SOURCE above all)
# or said twice.
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

# Whether the compiler, with the builder's flags for this build type, makes
# the preprocessor condition true.
function(bcdmon_compiler_makes result condition)
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  set(CMAKE_REQUIRED_QUIET ON)
  unset(${result} CACHE)  # tried again at each configure: the flags may have changed
  check_cxx_source_compiles("#if !(${condition})\n#error\n#endif\nint main() { return 0; }"
                            ${result})
  set(${result} ${${result}} PARENT_SCOPE)
endfunction()

# The ELF headers of a program linked with the builder's flags.
function(bcdmon_linked_headers result)
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  set(probe ${PROJECT_BINARY_DIR}/CMakeFiles/bcdmon_hardening)
  file(WRITE ${probe}/probe.cpp "int main() { return 0; }\n")
  try_compile(linked ${probe}/build SOURCES ${probe}/probe.cpp COPY_FILE ${probe}/probe)
  set(headers "")
  if(linked AND CMAKE_READELF)
    execute_process(COMMAND ${CMAKE_READELF} -dlW ${probe}/probe OUTPUT_VARIABLE headers)
  endif()
  set(${result} "${headers}" PARENT_SCOPE)
endfunction()

function(bcdmon_harden)
  set(added "")
  bcdmon_compiler_makes(bcdmon_unfortified
    "defined(__OPTIMIZE__) && !defined(_FORTIFY_SOURCE)")  # it needs optimising
  if(bcdmon_unfortified)
    list(APPEND added -D_FORTIFY_SOURCE=2)
  endif()
  bcdmon_compiler_makes(bcdmon_no_canary
    "!defined(__SSP__) && !defined(__SSP_STRONG__) && !defined(__SSP_ALL__) && !defined(__SSP_EXPLICIT__)")
  if(bcdmon_no_canary)
    list(APPEND added -fstack-protector-strong)
  endif()
  bcdmon_compiler_makes(bcdmon_not_pie "!defined(__PIE__)")
  if(bcdmon_not_pie)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON PARENT_SCOPE)
    check_pie_supported()
    list(APPEND added "PIE (CMake's -fPIE, -pie)")
  endif()
  # Where the headers cannot be read, the linker is asked: saying it twice
  # does no harm.
  bcdmon_linked_headers(headers)
  if(NOT headers MATCHES "GNU_RELRO")
    list(APPEND added -Wl,-z,relro)
  endif()
  if(NOT headers MATCHES "\\(FLAGS(_1)?\\)[^\n]* NOW")
    list(APPEND added -Wl,-z,now)
  endif()
  foreach(flag IN LISTS added)
    if(flag MATCHES "^-Wl,")
      add_link_options(${flag})
    elseif(flag MATCHES "^-")
      add_compile_options(${flag})
    endif()
  endforeach()
  if(NOT added)
    set(added "none, the builder's flags do it all")
  endif()
  message(STATUS "Hardening added to the builder's flags: ${added}")
endfunction()
