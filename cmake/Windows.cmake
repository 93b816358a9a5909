# The Windows build (cross-built with mingw-w64, see mingw-w64-x86_64.cmake):
# GoogleTest built for the target, the system's XmlLite for the settings file,
# the Win32 backends, and the folders whose code runs on Windows. Tests run
# under Wine in a prefix inside the build folder.

# Target programs run through Wine; the prefix is created on first use.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND NOT CMAKE_HOST_WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()

# GoogleTest from the sources Debian ships, built for the target.
set(LUMBRA_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${LUMBRA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock gmock_main)
  # Its code is not ours: our warning flags stay off it.
  set_target_properties(${lib} PROPERTIES COMPILE_OPTIONS "")
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

# mingw-w64 ships XmlLite's header but no import library: make one.
find_program(LUMBRA_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)
set(LUMBRA_XMLLITE_LIB ${CMAKE_BINARY_DIR}/libxmllite.a)
add_custom_command(OUTPUT ${LUMBRA_XMLLITE_LIB}
  COMMAND ${LUMBRA_DLLTOOL} -d ${CMAKE_CURRENT_LIST_DIR}/xmllite.def -l ${LUMBRA_XMLLITE_LIB}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/xmllite.def
  VERBATIM)
add_custom_target(lumbra_xmllite_lib DEPENDS ${LUMBRA_XMLLITE_LIB})
add_library(lumbra_xmllite STATIC IMPORTED GLOBAL)
set_target_properties(lumbra_xmllite PROPERTIES IMPORTED_LOCATION ${LUMBRA_XMLLITE_LIB})
add_dependencies(lumbra_xmllite lumbra_xmllite_lib)

# What the core needs of Windows beyond the default libraries.
function(lumbra_windows_core target)
  target_link_libraries(${target} PUBLIC lumbra_xmllite shlwapi ole32 shell32)
  # Windows 7 and later; wide-character Win32 calls only.
  target_compile_definitions(${target} PUBLIC _WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE
    NOMINMAX)
endfunction()

# The folders built for Windows: the Win32 backends, the language file
# generator, and every test folder whose code runs there.
function(lumbra_windows_subprojects)
  set(dirs src/platform/win32 tools/langgen src/ui/win32 tests/support tests/unit tests/win32
    tests/win32ui)
  foreach(dir ${dirs})
    if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${PROJECT_SOURCE_DIR}/${dir} ${CMAKE_BINARY_DIR}/${dir})
    endif()
  endforeach()
  # The program end to end under Wine, and its release zip.
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e-win ${CMAKE_BINARY_DIR}/tests/e2e-win)
  include(${PROJECT_SOURCE_DIR}/dist/windows/Package.cmake)
endfunction()
