# qtk_add_installer(): a QTK installer as a build target. Part of QTK's
# CMake package (find_package(QTK)); docs/cmake.md of the qtk sources
# describes it.
#
#   qtk_add_installer(<target>
#     OUTPUT <file.exe>                          the installer (relative: to the current binary dir)
#     RUN <program>                              the setup program, relative to the tree
#     DIRECTORY <dir> | INSTALL_COMPONENTS <component>... | INSTALL_TREE
#                                                what goes in: a folder (relative: to the current
#                                                source dir), those install() components of this
#                                                project, or everything it installs
#     [VOLUME_SIZE <size>] [ELEVATION auto|user|admin|highest] [CODEPAGE <n>]
#     [ICON <file.ico>] [PRODUCT <name>] [COMPANY <name>] [DESCRIPTION <text>]
#     [VERSION <a.b.c.d>] [STUB <file>]          as qtk pack's --volume-size, --elevation, ...
#     [DEPENDS <target or file>...]              built before the installer
#     [ALL])                                     part of the default build
#
# Every value may hold generator expressions.
include_guard(GLOBAL)
cmake_policy(PUSH)
cmake_policy(VERSION 3.21...3.25)

set_property(GLOBAL PROPERTY _QTK_PACKAGE_DIR "${CMAKE_CURRENT_LIST_DIR}")

# The options of `qtk pack` that qtk_add_installer and QTKCPack pass on, by
# keyword: the option's long name in upper case with '_' for '-' (the
# keyword VOLUME_SIZE is --volume-size, QTK_CPACK_VOLUME_SIZE the same).
# tests/qtk checks this list against qtk's own table of options: an option
# that qtk gains fails that test until it is here or in the next list.
function(_qtk_pack_keywords out)
  set(${out} RUN STUB VOLUME_SIZE CODEPAGE ELEVATION ICON PRODUCT COMPANY DESCRIPTION VERSION PARENT_SCOPE)
endfunction()
# The options of `qtk pack` that the function sets itself.
function(_qtk_pack_own_options out)
  set(${out} --help -h --output -o --jobs -j --quiet -q --depfile PARENT_SCOPE)
endfunction()

function(_qtk_option_of keyword out)
  string(TOLOWER "${keyword}" n)
  string(REPLACE "_" "-" n "${n}")
  set(${out} "--${n}" PARENT_SCOPE)
endfunction()

# A bracket argument that holds `text` whatever it contains.
function(_qtk_bracket text out)
  set(eq "=")
  while(text MATCHES "\\]${eq}\\]")
    string(APPEND eq "=")
  endwhile()
  set(${out} "[${eq}[${text}]${eq}]" PARENT_SCOPE)
endfunction()

# Every target of the project that the default build makes and that
# install() rules may install: executables and libraries below `dir`.
function(_qtk_default_targets dir out)
  set(found "")
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    get_target_property(excluded ${t} EXCLUDE_FROM_ALL)
    get_target_property(installer ${t} QTK_INSTALLER)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$"
       AND NOT excluded AND NOT installer)
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(d IN LISTS subdirs)
    _qtk_default_targets("${d}" more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Deferred to the end of the top directory: an installer made from the
# install tree is built after everything the default build makes (CMake
# does not record which targets a component installs; `cmake --install`
# likewise expects the whole build).
function(_qtk_depend_on_default_targets target)
  _qtk_default_targets("${CMAKE_SOURCE_DIR}" targets)
  if(targets)
    add_dependencies(${target} ${targets})
  endif()
endfunction()

# Makes the path in `var` absolute against `base`, unless it is a
# generator expression.
function(_qtk_absolute var base)
  if(DEFINED ${var} AND NOT ${var} MATCHES "\\$<" AND NOT IS_ABSOLUTE "${${var}}")
    get_filename_component(p "${${var}}" ABSOLUTE BASE_DIR "${base}")
    set(${var} "${p}" PARENT_SCOPE)
  endif()
endfunction()

function(qtk_add_installer target)
  set(where "qtk_add_installer(${target})")
  _qtk_pack_keywords(keywords)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALL;INSTALL_TREE" "OUTPUT;DIRECTORY;${keywords}"
                        "INSTALL_COMPONENTS;DEPENDS")
  if(NOT target OR target MATCHES "^(OUTPUT|RUN|DIRECTORY|ALL)$")
    message(FATAL_ERROR "qtk_add_installer: the first argument is the name of the target to create")
  endif()
  if(TARGET "${target}")
    message(FATAL_ERROR "${where}: a target named ${target} exists already")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(kw IN LISTS arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${where}: ${kw} needs a value")
  endforeach()
  if(NOT DEFINED arg_OUTPUT OR arg_OUTPUT STREQUAL "")
    message(FATAL_ERROR "${where}: OUTPUT <file.exe> is missing: the installer to write")
  endif()
  if(NOT DEFINED arg_RUN OR arg_RUN STREQUAL "")
    message(FATAL_ERROR "${where}: RUN <program> is missing: the setup program that the installer starts, "
                        "relative to the top of the tree")
  endif()
  set(sources 0)
  foreach(s DIRECTORY INSTALL_COMPONENTS INSTALL_TREE)
    if(arg_${s})
      math(EXPR sources "${sources} + 1")
    endif()
  endforeach()
  if(NOT sources EQUAL 1)
    message(FATAL_ERROR "${where}: give exactly one of DIRECTORY <dir>, INSTALL_COMPONENTS <component>... "
                        "or INSTALL_TREE: what goes into the installer")
  endif()
  if(NOT arg_RUN MATCHES "\\$<")
    if(IS_ABSOLUTE "${arg_RUN}" OR arg_RUN MATCHES "(^|[/\\\\])\\.\\.([/\\\\]|$)" OR arg_RUN MATCHES "\\\\")
      message(FATAL_ERROR "${where}: RUN ${arg_RUN} must be a path inside the tree, relative to its top, "
                          "with '/' between folders")
    endif()
  endif()
  if(DEFINED arg_ELEVATION AND NOT arg_ELEVATION MATCHES "\\$<"
     AND NOT arg_ELEVATION MATCHES "^(auto|user|admin|highest)$")
    message(FATAL_ERROR "${where}: ELEVATION ${arg_ELEVATION}: not one of auto, user, admin, highest")
  endif()
  if(DEFINED arg_VERSION AND NOT arg_VERSION MATCHES "\\$<"
     AND NOT arg_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "${where}: VERSION ${arg_VERSION}: not a version A.B.C.D of four numbers")
  endif()

  # Paths: OUTPUT below the binary dir, the rest below the source dir,
  # unless absolute or generator expressions.
  _qtk_absolute(arg_OUTPUT "${CMAKE_CURRENT_BINARY_DIR}")
  _qtk_absolute(arg_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
  _qtk_absolute(arg_ICON "${CMAKE_CURRENT_SOURCE_DIR}")
  _qtk_absolute(arg_STUB "${CMAKE_CURRENT_SOURCE_DIR}")
  # Files of the source tree must be there now; the build makes the others.
  foreach(kw DIRECTORY ICON STUB)
    set(p "${arg_${kw}}")
    if(DEFINED arg_${kw} AND NOT p MATCHES "\\$<")
      file(RELATIVE_PATH below_build "${CMAKE_BINARY_DIR}" "${p}")
      if(below_build MATCHES "^\\.\\./" AND NOT EXISTS "${p}")
        message(FATAL_ERROR "${where}: ${kw} ${p} does not exist")
      endif()
    endif()
  endforeach()
  if(arg_DIRECTORY AND NOT arg_DIRECTORY MATCHES "\\$<" AND NOT arg_RUN MATCHES "\\$<")
    file(RELATIVE_PATH below_build "${CMAKE_BINARY_DIR}" "${arg_DIRECTORY}")
    if(below_build MATCHES "^\\.\\./" AND NOT EXISTS "${arg_DIRECTORY}/${arg_RUN}")
      message(FATAL_ERROR "${where}: RUN ${arg_RUN} is not in the tree: ${arg_DIRECTORY}/${arg_RUN} does not exist")
    endif()
  endif()

  # The options for qtk pack, in the keywords' order.
  set(pack_args "")
  foreach(kw IN LISTS keywords)
    if(DEFINED arg_${kw})
      _qtk_option_of(${kw} option)
      _qtk_bracket("${option}" o)
      _qtk_bracket("${arg_${kw}}" v)
      string(APPEND pack_args " ${o} ${v}")
    endif()
  endforeach()

  # Everything the build step needs, in a file per configuration that is
  # rewritten only when it changes: the installer depends on it, so a
  # changed option rebuilds it with every generator.
  get_property(package_dir GLOBAL PROPERTY _QTK_PACKAGE_DIR)
  set(work "${CMAKE_CURRENT_BINARY_DIR}/qtk/${target}")
  get_property(multi GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi)
    set(config_dir "/$<CONFIG>")
  else()
    set(config_dir "")
  endif()
  set(settings "${work}${config_dir}/settings.cmake")
  set(depfile "${work}${config_dir}/installer.d")
  foreach(v OUTPUT RUN)
    _qtk_bracket("${arg_${v}}" b_${v})
  endforeach()
  _qtk_bracket("${target}" b_target)
  set(content "# ${where}, written by CMake: what the build step packs.
set(QTK_TARGET ${b_target})
set(QTK_EXECUTABLE [==[$<TARGET_FILE:QTK::qtk>]==])
set(QTK_OUTPUT ${b_OUTPUT})
set(QTK_RUN ${b_RUN})
set(QTK_PACK_ARGS${pack_args})
")
  if(arg_DIRECTORY)
    _qtk_bracket("${arg_DIRECTORY}" b)
    string(APPEND content "set(QTK_TREE ${b})\nset(QTK_DEPFILE [==[${depfile}]==])\n")
  else()
    set(components "")
    foreach(c IN LISTS arg_INSTALL_COMPONENTS)
      _qtk_bracket("${c}" b)
      string(APPEND components " ${b}")
    endforeach()
    string(APPEND content "set(QTK_TREE [==[${work}${config_dir}/stage]==])
set(QTK_STAGE_BUILD_DIR [==[${CMAKE_BINARY_DIR}]==])
set(QTK_STAGE_CONFIG [==[$<CONFIG>]==])
set(QTK_STAGE_COMPONENTS${components})
set(QTK_STAMP [==[${work}${config_dir}/stage.stamp]==])
")
  endif()
  file(GENERATE OUTPUT "${settings}" CONTENT "${content}")

  set(all "")
  if(arg_ALL)
    set(all ALL)
  endif()
  get_filename_component(output_name "${arg_OUTPUT}" NAME)
  set(command "${CMAKE_COMMAND}" "-DQTK_SETTINGS=${settings}" -P "${package_dir}/QTKPack.cmake")
  if(arg_DIRECTORY)
    # qtk writes the depfile: every file and folder it read, so a file
    # changed, added or removed rebuilds the installer.
    add_custom_command(OUTPUT "${arg_OUTPUT}"
      COMMAND ${command}
      DEPENDS "${settings}" "${package_dir}/QTKPack.cmake" "$<TARGET_FILE:QTK::qtk>" ${arg_DEPENDS}
      DEPFILE "${depfile}"
      COMMENT "Packing the installer ${output_name}"
      VERBATIM)
    add_custom_target(${target} ${all} DEPENDS "${arg_OUTPUT}")
  else()
    # The install tree exists only at build time: the step stages it each
    # time and packs only when the staged tree or the settings changed.
    add_custom_target(${target} ${all}
      COMMAND ${command}
      BYPRODUCTS "${arg_OUTPUT}"
      DEPENDS "${settings}" "${package_dir}/QTKPack.cmake" "$<TARGET_FILE:QTK::qtk>" ${arg_DEPENDS}
      COMMENT "Staging and packing the installer ${output_name}"
      VERBATIM)
    # (A deferred call's arguments are read when it runs: the name goes in now.)
    _qtk_bracket("${target}" b_target)
    cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [==[${CMAKE_SOURCE_DIR}]==] CALL _qtk_depend_on_default_targets ${b_target})")
  endif()
  set_target_properties(${target} PROPERTIES QTK_INSTALLER TRUE QTK_INSTALLER_FILE "${arg_OUTPUT}")
endfunction()

cmake_policy(POP)
