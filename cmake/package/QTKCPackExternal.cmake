# CPack's External generator runs this script (CPACK_EXTERNAL_PACKAGE_SCRIPT,
# set by QTKCPack.cmake) with the install tree staged in
# CPACK_TEMPORARY_DIRECTORY and every CPACK_ variable of the project set.
set(where "QTKCPack")
set(tree "${CPACK_TEMPORARY_DIRECTORY}")
# A project with components gets each staged in a folder of its own; the
# installer holds them all, as one tree.
if(CPACK_COMPONENTS_ALL AND NOT CPACK_MONOLITHIC_INSTALL)
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/qtk-tree")
  file(REMOVE_RECURSE "${tree}")
  foreach(c IN LISTS CPACK_COMPONENTS_ALL)
    if(IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}/${c}")
      file(COPY "${CPACK_TEMPORARY_DIRECTORY}/${c}/" DESTINATION "${tree}")
    endif()
  endforeach()
endif()

# The installer's version resource, from the package's values unless the
# project gave its own.
if(NOT DEFINED CPACK_QTK_PRODUCT)
  set(CPACK_QTK_PRODUCT "${CPACK_PACKAGE_NAME}")
endif()
if(NOT DEFINED CPACK_QTK_COMPANY AND CPACK_PACKAGE_VENDOR)
  set(CPACK_QTK_COMPANY "${CPACK_PACKAGE_VENDOR}")
endif()
if(NOT DEFINED CPACK_QTK_DESCRIPTION AND CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_QTK_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
endif()
if(NOT DEFINED CPACK_QTK_VERSION)
  # Four numbers, as Windows keeps them: 2.1 is 2.1.0.0, 2.1.3-rc1 2.1.3.0.
  if(CPACK_PACKAGE_VERSION MATCHES "^([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(\\.([0-9]+))?")
    set(v "${CMAKE_MATCH_1}")
    foreach(i 3 5 7)
      if("${CMAKE_MATCH_${i}}" STREQUAL "")
        string(APPEND v ".0")
      else()
        string(APPEND v ".${CMAKE_MATCH_${i}}")
      endif()
    endforeach()
    set(CPACK_QTK_VERSION "${v}")
  else()
    message(WARNING "${where}: CPACK_PACKAGE_VERSION ${CPACK_PACKAGE_VERSION} does not begin with a number; "
                    "the installer gets no version (set QTK_CPACK_VERSION)")
  endif()
endif()

set(args "")
foreach(kw IN LISTS CPACK_QTK_KEYWORDS)
  if(DEFINED CPACK_QTK_${kw} AND NOT CPACK_QTK_${kw} STREQUAL "")
    string(TOLOWER "${kw}" option)
    string(REPLACE "_" "-" option "${option}")
    list(APPEND args "--${option}" "${CPACK_QTK_${kw}}")
  endif()
endforeach()

if(CPACK_QTK_FILE_NAME)
  set(name "${CPACK_QTK_FILE_NAME}")
else()
  set(name "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-setup.exe")
endif()
set(output "${CPACK_TOPLEVEL_DIRECTORY}/${name}")
file(REMOVE "${output}")
# The same bytes every time: no stub named by the environment.
unset(ENV{QTK_STUB})
execute_process(COMMAND "${CPACK_QTK_EXECUTABLE}" pack "${tree}" -o "${output}" ${args} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${where}: qtk pack failed (exit code ${rc}; qtk's message is above)")
endif()
# Volume 1 and any later volumes (setup.001, ...), for cpack to copy out.
get_filename_component(base "${output}" NAME_WLE)
file(GLOB volumes "${CPACK_TOPLEVEL_DIRECTORY}/${base}.[0-9][0-9][0-9]")
list(SORT volumes)
set(CPACK_EXTERNAL_BUILT_PACKAGES "${output}" ${volumes})
