# Packages of what `cmake --install` installs (see qtk/CMakeLists.txt):
#   native build:  cd build/native && cpack -G DEB   ->  usr/bin/qtk, qtk(1) and usr/lib/cmake/QTK
#   Windows build: cd build/win64 && cpack -G ZIP    ->  qtk.exe and lib/cmake/QTK
# Nothing here names a platform's files: a build packs whatever its install
# rules give, so a Windows build needs only its qtk target and install rule.
set(CPACK_PACKAGE_NAME qtk)
set(CPACK_PACKAGE_VENDOR "QTK")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builds self-extracting installers for Windows")
set(CPACK_PACKAGE_DESCRIPTION "qtk packs a folder into one Windows program that unpacks it and starts
its setup program; it also lists, tests and extracts such installers.
The 32-bit Windows stub is built in.")
set(CPACK_STRIP_FILES ON)
set(QTK_PACKAGE_MAINTAINER "QTK developers <qtk@example.org>" CACHE STRING "Maintainer named in the Debian package")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QTK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from the libraries qtk links

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "qtk-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
