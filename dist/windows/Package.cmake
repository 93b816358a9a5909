# The Windows release: `cmake --build build-win --target package` writes
# lumbra-<version>-win64.zip into the build folder. Nothing to install: one
# folder holding the program, its language files beside it (where it looks
# for them) and a README; the program keeps its settings file, lumbra.xml,
# in that folder once it has run.
# Only this component goes into the zip, whatever other install rules say
# (the language files' own rule is for an installed Linux copy).
set(LUMBRA_ZIP_COMPONENT windows_zip)
set(LUMBRA_WINDIST_DIR ${CMAKE_CURRENT_LIST_DIR})

if(TARGET lumbra)
  install(TARGETS lumbra RUNTIME DESTINATION . COMPONENT ${LUMBRA_ZIP_COMPONENT})
endif()
get_directory_property(LUMBRA_ZIP_LANG_FILES DIRECTORY ${PROJECT_SOURCE_DIR}/tools/langgen
  DEFINITION LUMBRA_LANG_FILES)
install(FILES ${LUMBRA_ZIP_LANG_FILES} DESTINATION . COMPONENT ${LUMBRA_ZIP_COMPONENT})
# Notepad on older Windows shows a file without carriage returns as one line.
configure_file(${LUMBRA_WINDIST_DIR}/README.txt.in ${CMAKE_BINARY_DIR}/dist/README.txt
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/dist/README.txt DESTINATION . COMPONENT ${LUMBRA_ZIP_COMPONENT})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME lumbra)
set(CPACK_PACKAGE_VENDOR "Tavik Technologies")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME lumbra-${PROJECT_VERSION}-win64)
# The folder the zip unpacks to is named like the zip.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${LUMBRA_ZIP_COMPONENT})
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The zip holds exactly the release (the check makes one of its own).
if(TARGET lumbra)
  add_test(NAME lumbra_release_zip
    COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND} -DCONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
            -DWORK=${CMAKE_BINARY_DIR}/release-check -DVERSION=${PROJECT_VERSION}
            -DLANG_DIR=${LUMBRA_RUNTIME_DIR} -P ${LUMBRA_WINDIST_DIR}/CheckZip.cmake)
endif()
