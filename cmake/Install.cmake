# What `cmake --install` puts in place, in the GNU layout: the library with
# its SONAME, the public header, the tools, and the two ways a host project
# finds the library: find_package(TAMBRIX01) with the imported target
# TAMBRIX01::TAMBRIX01, and pkg-config's TAMBRIX01.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAMBRIX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TAMBRIX01)

# A host needs only the public header, which no build of the library changes.
target_include_directories(TAMBRIX01 INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(TAMBRIX01::TAMBRIX01 ALIAS TAMBRIX01)

install(TARGETS TAMBRIX01 EXPORT TAMBRIX01Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tambrix01 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # For hosts of other toolchains (lib /def:TAMBRIX01.def makes their
  # import library), next to MinGW's own.
  install(FILES $<TARGET_FILE_DIR:TAMBRIX01>/TAMBRIX01.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The flasher loads the library at run time and the others carry what they
# need, so no tool needs a run path.
foreach(tool tambrix-flash tambrix-fw tambrix-sim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT TAMBRIX01Targets NAMESPACE TAMBRIX01:: DESTINATION ${TAMBRIX_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TAMBRIX01Config.cmake.in
  ${CMAKE_BINARY_DIR}/package/TAMBRIX01Config.cmake
  INSTALL_DESTINATION ${TAMBRIX_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/TAMBRIX01ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/TAMBRIX01Config.cmake
              ${CMAKE_BINARY_DIR}/package/TAMBRIX01ConfigVersion.cmake
        DESTINATION ${TAMBRIX_PACKAGE_DIR})

# The .pc finds the prefix from its own place, so the installed tree (and
# the unpacked zip) can be moved.
file(RELATIVE_PATH TAMBRIX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TAMBRIX_PC_TO_PREFIX "${TAMBRIX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/TAMBRIX01.pc.in ${CMAKE_BINARY_DIR}/package/TAMBRIX01.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/TAMBRIX01.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
