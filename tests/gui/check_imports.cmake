# Fails unless the program imports only libraries every Windows has: it is linked statically
# and runs from any folder with nothing beside it but ftd2xx.dll.
# Usage: cmake -DOBJDUMP=... -DPROGRAM=... -P check_imports.cmake
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
# Not in Windows 7 without update KB2533623: imported, it keeps the program from starting.
if(dump MATCHES "SetDefaultDllDirectories")
  message(FATAL_ERROR "${PROGRAM} imports SetDefaultDllDirectories")
endif()
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
set(system_libraries kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll
    advapi32.dll msvcrt.dll ole32.dll setupapi.dll)
foreach(entry IN LISTS imports)
  string(REPLACE "DLL Name: " "" library "${entry}")
  string(TOLOWER "${library}" library)
  if(NOT library IN_LIST system_libraries)
    message(FATAL_ERROR "${PROGRAM} needs ${library}, which Windows does not provide")
  endif()
  message(STATUS "imports ${library}")
endforeach()
