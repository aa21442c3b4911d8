# Reruns the table generator into a scratch directory and fails when its output differs byte for
# byte from the committed tables, so an edited table or a changed generator cannot go unnoticed.
#
# cmake -DGENERATOR=<gen_gauss_tables> -DTABLE_DIR=<repo>/core -DWORK_DIR=<scratch>
#       -P check_gauss_tables.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gen_gauss_tables failed: ${status}")
endif()
foreach(table gauss_weight_tables.cpp gauss_extended_tables.cpp fresnel_tables.cpp)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
                          "${WORK_DIR}/${table}" "${TABLE_DIR}/${table}"
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "core/generated/${table} is stale: regenerate it with gen_gauss_tables core/generated")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
