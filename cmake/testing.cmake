# GoogleTest from Debian's source package, built in-tree so that native and cross
# builds run the same tests.
set(KARVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KARVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
enable_testing()

# Test programs live apart from the shipped ones, with the virtual device's library beside
# them (the shipped programs never find it by default).
set(KARVEX_TEST_BIN ${CMAKE_BINARY_DIR}/test-bin)

# karvex_add_test(NAME SOURCES... LIBS...): one GoogleTest program, one ctest entry.
# Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(karvex_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main karvex_warnings)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KARVEX_TEST_BIN})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${KARVEX_TEST_BIN})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "LD_LIBRARY_PATH=${KARVEX_TEST_BIN}")
endfunction()
