# Release packages with CPack: on Windows the zip of TAMBRIX01.dll, its
# header and .def, the tools and the README; elsewhere a tarball of the same
# installed tree. The file is named NAME-VERSION-SYSTEM, e.g.
# TAMBRIX01-1.27.0-win64.zip.
set(CPACK_PACKAGE_NAME TAMBRIX01)
set(CPACK_PACKAGE_VENDOR TAMBRIX01)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Writes firmware into barcode scanners and their cradles")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES TRUE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
