# Release builds, the ones packaged for users: optimised for size, stripped, and the same bytes
# from the same sources whatever the build folder or the hour (tools/check-packages holds us to
# that). The package command builds only the shipped programs, so installing builds nothing more.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Whole sections of unused code go, and no path of this machine stays in the programs.
# No -fdata-sections: mingw then places zero-filled arrays in .data, 64 KB of file each.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffunction-sections>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
if(EMSCRIPTEN)
  return() # the browser page: emscripten's -Oz already drops unused code and names
endif()
add_link_options(-s -Wl,--gc-sections)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
else()
  # The hardening Debian gives its own packages.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-D_FORTIFY_SOURCE=2>")
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
