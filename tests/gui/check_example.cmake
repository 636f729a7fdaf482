# Fails unless examples/blink.hex is what gpasm makes of examples/blink.asm.
# Usage: cmake -DGPASM=... -DSOURCE_DIR=... -DWORK_DIR=... -P check_example.cmake
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${GPASM} -a inhx32 -o ${WORK_DIR}/blink.hex ${SOURCE_DIR}/examples/blink.asm
                RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed)
  message(FATAL_ERROR "gpasm failed:\n${output}")
endif()
file(READ ${WORK_DIR}/blink.hex built)
file(READ ${SOURCE_DIR}/examples/blink.hex kept)
if(NOT built STREQUAL kept)
  message(FATAL_ERROR "examples/blink.hex is out of date; assemble blink.asm again")
endif()
