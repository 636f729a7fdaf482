# Run by CPack on the staged files before it archives them: each file and folder gets the
# time of the commit (SOURCE_DATE_EPOCH) instead of the hour it was built or copied, so that
# two package runs of one commit give the same archives.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set: tools/package sets it from the commit")
endif()
execute_process(
  COMMAND find . -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
  WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not set the files' times in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
