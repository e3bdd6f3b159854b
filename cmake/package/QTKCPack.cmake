# include(QTKCPack): cpack makes a QTK installer from the project's staged
# install tree, through CPack's External generator. Part of QTK's CMake
# package (find_package(QTK) first); docs/cmake.md describes it.
#
#   set(CPACK_GENERATOR External)     # External, or a list that holds it
#   set(QTK_CPACK_RUN setup.exe)      # the setup program, relative to the install tree
#   include(QTKCPack)                 # instead of include(CPack), which it includes
#
# `cpack` then writes <CPACK_PACKAGE_NAME>-<CPACK_PACKAGE_VERSION>-setup.exe
# (QTK_CPACK_FILE_NAME sets another name). The installer's product, company,
# version and description are CPACK_PACKAGE_NAME, CPACK_PACKAGE_VENDOR,
# CPACK_PACKAGE_VERSION (as four numbers, missing ones 0) and
# CPACK_PACKAGE_DESCRIPTION_SUMMARY unless QTK_CPACK_PRODUCT, ... say
# otherwise. Every option of qtk_add_installer has its QTK_CPACK_ twin:
# QTK_CPACK_VOLUME_SIZE, QTK_CPACK_ELEVATION, QTK_CPACK_CODEPAGE,
# QTK_CPACK_ICON, QTK_CPACK_STUB, ...
include_guard(GLOBAL)
if(NOT TARGET QTK::qtk OR NOT COMMAND _qtk_pack_keywords)
  message(FATAL_ERROR "include(QTKCPack) needs find_package(QTK) first")
endif()
if(CPack_CMake_INCLUDED)
  message(FATAL_ERROR "include(QTKCPack) includes CPack itself, with its settings: "
                      "include it instead of include(CPack), not after it")
endif()
if(NOT QTK_CPACK_RUN)
  message(FATAL_ERROR "include(QTKCPack): set QTK_CPACK_RUN to the setup program that the installer starts "
                      "(relative to the install tree) before including it")
endif()

# CPack writes only CPACK_ variables into CPackConfig.cmake: the options go
# in as CPACK_QTK_<keyword>, files as absolute paths.
_qtk_pack_keywords(_qtk_keywords)
foreach(_qtk_kw IN LISTS _qtk_keywords ITEMS FILE_NAME)
  if(DEFINED QTK_CPACK_${_qtk_kw})
    set(CPACK_QTK_${_qtk_kw} "${QTK_CPACK_${_qtk_kw}}")
    if(_qtk_kw MATCHES "^(ICON|STUB)$" AND NOT IS_ABSOLUTE "${CPACK_QTK_${_qtk_kw}}")
      get_filename_component(CPACK_QTK_${_qtk_kw} "${CPACK_QTK_${_qtk_kw}}" ABSOLUTE
                             BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
  endif()
endforeach()
set(CPACK_QTK_KEYWORDS ${_qtk_keywords})
unset(_qtk_keywords)
unset(_qtk_kw)
get_target_property(CPACK_QTK_EXECUTABLE QTK::qtk IMPORTED_LOCATION)

# Why External: CPack has no way to add a generator of one's own; External
# is its documented hook for other packaging tools. It stages the install
# tree (CPACK_EXTERNAL_ENABLE_STAGING) and runs our script on it, and the
# script hands the installer back (CPACK_EXTERNAL_BUILT_PACKAGES).
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR External)
endif()
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
get_property(_qtk_dir GLOBAL PROPERTY _QTK_PACKAGE_DIR)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${_qtk_dir}/QTKCPackExternal.cmake")
unset(_qtk_dir)
include(CPack)
