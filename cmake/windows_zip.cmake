# Packs the Windows ZIP from what the build installs, under one folder named
# as the ZIP: its members in sorted order, all with one time (the last
# commit's, SOURCE_DATE_EPOCH, when set) and no owner, so that every build of
# a commit gives the same bytes wherever and whenever it runs.
#   cmake -D BUILD=<build folder> -D NAME=<name> -D ZIP=<zip program> -P windows_zip.cmake
set(stage ${BUILD}/package/stage)
set(archive ${BUILD}/${NAME}.zip)
file(REMOVE_RECURSE ${stage} ${archive})  # zip would add to an old archive
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${stage}/${NAME}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE members LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT members)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ${members}
                  WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
endif()
# -X: no owner and no extra times; -D: no entries for folders. zip writes the
# times as local time, so the zone is fixed too.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -9 -q ${archive} ${members}
                WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Packed ${archive}")
