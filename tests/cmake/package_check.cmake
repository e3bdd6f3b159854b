# qtk's CMake package from an install of the build, with small projects of
# its own (native, no Windows tools needed):
#   find_package(QTK 1.1) and its version check;
#   qtk_add_installer with DIRECTORY: built, not rebuilt when nothing
#   changed, rebuilt when a file changes, is added or is removed (qtk pack's
#   depfile), the same bytes as qtk pack gives by hand;
#   INSTALL_COMPONENTS: only that component, rebuilt when an installed file
#   changes;
#   the CMake errors for wrong calls, and for a RUN that is not in the tree.
#   cmake -DBUILD=<build dir> -DOUT=<scratch dir> -P package_check.cmake
cmake_minimum_required(VERSION 3.21)
file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${OUT}/prefix"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0 OR NOT EXISTS "${OUT}/prefix/lib/cmake/QTK/QTKConfig.cmake")
  message(FATAL_ERROR "cmake --install did not install lib/cmake/QTK")
endif()
set(qtk "${OUT}/prefix/bin/qtk")
set(failures 0)
# check("<if() condition>" "what"): the condition as if() reads it.
macro(check cond what)
  cmake_language(EVAL CODE "if(${cond})\n set(passed TRUE)\nelse()\n set(passed FALSE)\nendif()")
  if(passed)
    message(STATUS "ok   ${what}")
  else()
    message(STATUS "FAIL ${what}")
    math(EXPR failures "${failures} + 1")
  endif()
endmacro()

# A project: CMakeLists.txt from `body`; configure (result in cfg_rc and
# cfg_out).
function(configure name body)
  set(src "${OUT}/${name}")
  file(MAKE_DIRECTORY "${src}")
  file(WRITE "${src}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.21)\nproject(${name} NONE)\n${body}\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${src}" -B "${src}/build" -G Ninja
                          "-DCMAKE_PREFIX_PATH=${OUT}/prefix"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(cfg_rc ${rc} PARENT_SCOPE)
  set(cfg_out "${out}" PARENT_SCOPE)
endfunction()
function(build name)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${OUT}/${name}/build"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(build_rc ${rc} PARENT_SCOPE)
  set(build_out "${out}" PARENT_SCOPE)
endfunction()
function(stamp file var)
  file(TIMESTAMP "${file}" t "%s" UTC)
  file(SHA256 "${file}" h)
  set(${var} "${t}-${h}" PARENT_SCOPE)
endfunction()

# --- find_package and the version file ---------------------------------------
configure(version "find_package(QTK 1.1 REQUIRED)\nmessage(STATUS \"qtk=[\${QTK_EXECUTABLE}] v=[\${QTK_VERSION}]\")")
string(FIND "${cfg_out}" "qtk=[${OUT}/prefix/bin/qtk] v=[1.1]" at)
check("cfg_rc EQUAL 0 AND at GREATER -1" "find_package(QTK 1.1): QTK::qtk in the prefix")
configure(version2 "find_package(QTK 2 REQUIRED)")
check("NOT cfg_rc EQUAL 0" "find_package(QTK 2) is refused (another major version)")

# --- DIRECTORY ----------------------------------------------------------------
set(tree "${OUT}/dir/tree")
file(MAKE_DIRECTORY "${tree}/sub dir")
file(WRITE "${tree}/setup.exe" "not really a program\n")
file(WRITE "${tree}/sub dir/a.txt" "a\n")
configure(dir "find_package(QTK 1.1 REQUIRED)
qtk_add_installer(setup ALL OUTPUT out/setup.exe DIRECTORY tree RUN setup.exe
                  PRODUCT \"Dir Test\" VERSION 1.2.3.4 ELEVATION admin)")
check("cfg_rc EQUAL 0" "DIRECTORY: configure")
set(setup "${OUT}/dir/build/out/setup.exe")
build(dir)
check("build_rc EQUAL 0 AND EXISTS \"${setup}\"" "DIRECTORY: the installer is built")
execute_process(COMMAND "${qtk}" pack "${tree}" -o "${OUT}/by-hand.exe" --run setup.exe --product "Dir Test"
                        --version 1.2.3.4 --elevation admin OUTPUT_QUIET)
file(SHA256 "${setup}" a)
file(SHA256 "${OUT}/by-hand.exe" b)
check("a STREQUAL b" "DIRECTORY: the same bytes as qtk pack by hand")
stamp("${setup}" s0)
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
build(dir)
stamp("${setup}" s1)
check("s0 STREQUAL s1 AND build_out MATCHES \"no work to do\"" "DIRECTORY: nothing changed, nothing done")
file(WRITE "${tree}/sub dir/a.txt" "A changed\n")
build(dir)
stamp("${setup}" s2)
check("NOT s2 STREQUAL s1" "DIRECTORY: a changed file rebuilds it")
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
file(WRITE "${tree}/sub dir/new.txt" "new\n")
build(dir)
stamp("${setup}" s3)
execute_process(COMMAND "${qtk}" list --json "${setup}" OUTPUT_VARIABLE listing)
check("NOT s3 STREQUAL s2 AND listing MATCHES \"sub dir/new.txt\"" "DIRECTORY: an added file rebuilds it")
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
file(REMOVE "${tree}/sub dir/new.txt")
build(dir)
stamp("${setup}" s4)
execute_process(COMMAND "${qtk}" list --json "${setup}" OUTPUT_VARIABLE listing)
check("NOT s4 STREQUAL s3 AND NOT listing MATCHES \"new.txt\"" "DIRECTORY: a removed file rebuilds it")
execute_process(COMMAND "${qtk}" pack "${tree}" -o "${OUT}/by-hand.exe" --run setup.exe --product "Dir Test"
                        --version 1.2.3.4 --elevation admin OUTPUT_QUIET)
file(SHA256 "${setup}" a)
file(SHA256 "${OUT}/by-hand.exe" b)
check("a STREQUAL b" "DIRECTORY: after the changes, the bytes that qtk pack gives the tree now")

# --- INSTALL_COMPONENTS -------------------------------------------------------
file(MAKE_DIRECTORY "${OUT}/comp")
file(WRITE "${OUT}/comp/setup.exe" "setup\n")
file(WRITE "${OUT}/comp/doc.txt" "doc\n")
file(WRITE "${OUT}/comp/other.txt" "other\n")
configure(comp "find_package(QTK 1.1 REQUIRED)
install(FILES setup.exe DESTINATION bin COMPONENT app)
install(FILES doc.txt DESTINATION . COMPONENT app)
install(FILES other.txt DESTINATION . COMPONENT other)
qtk_add_installer(setup ALL OUTPUT setup.exe INSTALL_COMPONENTS app RUN bin/setup.exe)")
check("cfg_rc EQUAL 0" "INSTALL_COMPONENTS: configure")
set(setup "${OUT}/comp/build/setup.exe")
build(comp)
execute_process(COMMAND "${qtk}" list --json "${setup}" OUTPUT_VARIABLE listing)
check("build_rc EQUAL 0 AND listing MATCHES \"bin/setup.exe\" AND listing MATCHES \"doc.txt\" AND NOT listing MATCHES \"other.txt\""
      "INSTALL_COMPONENTS: the component's files and no others")
stamp("${setup}" s0)
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.1)
build(comp)
stamp("${setup}" s1)
check("s0 STREQUAL s1" "INSTALL_COMPONENTS: nothing changed, the installer stays")
file(WRITE "${OUT}/comp/doc.txt" "doc changed\n")
build(comp)
stamp("${setup}" s2)
check("NOT s2 STREQUAL s1" "INSTALL_COMPONENTS: an installed file changed, the installer is rebuilt")

# --- errors -------------------------------------------------------------------
function(expect_error name call pattern)
  configure(${name} "find_package(QTK 1.1 REQUIRED)\n${call}")
  string(REGEX REPLACE "[ \n]+" " " flat "${cfg_out}")
  check("NOT cfg_rc EQUAL 0 AND flat MATCHES \"${pattern}\"" "error: ${name}")
  set(failures ${failures} PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY "${OUT}/err_run/tree")
file(WRITE "${OUT}/err_run/tree/a.txt" "a")
expect_error(err_output "qtk_add_installer(s RUN a.exe DIRECTORY .)" "OUTPUT <file.exe> is missing")
expect_error(err_run_missing "qtk_add_installer(s OUTPUT s.exe DIRECTORY .)" "RUN <program> is missing")
expect_error(err_source "qtk_add_installer(s OUTPUT s.exe RUN a.exe)" "give exactly one of DIRECTORY")
expect_error(err_two "qtk_add_installer(s OUTPUT s.exe RUN a.exe DIRECTORY . INSTALL_TREE)" "give exactly one of DIRECTORY")
expect_error(err_run "qtk_add_installer(s OUTPUT s.exe RUN setup.exe DIRECTORY tree)" "RUN setup.exe is not in the tree")
expect_error(err_dotdot "qtk_add_installer(s OUTPUT s.exe RUN ../a.txt DIRECTORY tree)" "must be a path inside the tree")
expect_error(err_elevation "qtk_add_installer(s OUTPUT s.exe RUN a.txt DIRECTORY tree ELEVATION root)" "ELEVATION root: not one of")
expect_error(err_version "qtk_add_installer(s OUTPUT s.exe RUN a.txt DIRECTORY tree VERSION 1.2)" "VERSION 1.2: not a version")
expect_error(err_unknown "qtk_add_installer(s OUTPUT s.exe RUN a.txt DIRECTORY tree SIGN yes)" "unknown arguments: SIGN.yes")
expect_error(err_value "qtk_add_installer(s OUTPUT s.exe RUN a.txt DIRECTORY tree PRODUCT)" "PRODUCT needs a value")
expect_error(err_nodir "qtk_add_installer(s OUTPUT s.exe RUN a.txt DIRECTORY nowhere)" "DIRECTORY .*/nowhere does not exist")
expect_error(err_cpack "include(QTKCPack)" "set QTK_CPACK_RUN")
# A RUN that the install tree turns out not to hold: at build time.
configure(err_stage "find_package(QTK 1.1 REQUIRED)
install(FILES CMakeLists.txt DESTINATION .)
qtk_add_installer(setup ALL OUTPUT setup.exe INSTALL_TREE RUN setup.exe)")
build(err_stage)
check("NOT build_rc EQUAL 0 AND build_out MATCHES \"RUN setup.exe is not in the tree\"" "error at build time: RUN not in the staged tree")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
