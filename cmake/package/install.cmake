# The CMake package, lib/cmake/QTK, installed with qtk by every route (the
# install rule, the .deb and the Windows zip pack what it installs). Included
# by qtk/CMakeLists.txt after qtk's own install rule; QTK_PROGRAM_DESTINATION
# is where that rule puts the program.
include(CMakePackageConfigHelpers)
set(QTK_PACKAGE_DESTINATION lib/cmake/QTK)
# The program, relative to the install prefix; the package finds the prefix
# from its own place.
set(QTK_PACKAGE_PROGRAM "${QTK_PROGRAM_DESTINATION}/qtk${CMAKE_EXECUTABLE_SUFFIX}")
string(REGEX REPLACE "^\\./" "" QTK_PACKAGE_PROGRAM "${QTK_PACKAGE_PROGRAM}")
file(RELATIVE_PATH QTK_PACKAGE_TO_PREFIX "/prefix/${QTK_PACKAGE_DESTINATION}" "/prefix")
configure_file(${CMAKE_CURRENT_LIST_DIR}/QTKConfig.cmake.in ${CMAKE_BINARY_DIR}/cmake-package/QTKConfig.cmake @ONLY)
# A host tool: any project, 32-bit or 64-bit, may use it.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake-package/QTKConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${CMAKE_BINARY_DIR}/cmake-package/QTKConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake-package/QTKConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/QTKInstaller.cmake
  ${CMAKE_CURRENT_LIST_DIR}/QTKPack.cmake
  ${CMAKE_CURRENT_LIST_DIR}/QTKCPack.cmake
  ${CMAKE_CURRENT_LIST_DIR}/QTKCPackExternal.cmake
  DESTINATION ${QTK_PACKAGE_DESTINATION})
