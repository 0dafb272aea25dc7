# Installs the library, its headers and a CMake package so that other projects
# can use find_package(texengine) and link texengine::texengine.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS texengine EXPORT texengineTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/engine/engine.h ${PROJECT_SOURCE_DIR}/engine/operations.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/engine)
install(EXPORT texengineTargets NAMESPACE texengine::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/texengine)
set(TEX_CONFIG_TEXT "")
if(TARGET Threads::Threads)
  set(TEX_CONFIG_TEXT "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)\n")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/texengineConfig.cmake
  "${TEX_CONFIG_TEXT}include(\"\${CMAKE_CURRENT_LIST_DIR}/texengineTargets.cmake\")\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/texengineConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/texengineConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/texengineConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/texengine)
