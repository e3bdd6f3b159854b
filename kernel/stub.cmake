# The installer stub `qtksfx`: the platform-free flow (qtk_sfx_flow) and
# either the Win32 GUI program (qtksfx.exe) or the console build (qtksfx).
include(${CMAKE_SOURCE_DIR}/resources/sfx_resources.cmake)

# Everything the stub links is built small: no exceptions or RTTI, one
# section per function so that the link drops what is not called.
set(QTK_SFX_SIZE_FLAGS -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)

add_library(qtk_sfx_flow STATIC
  ${CMAKE_CURRENT_LIST_DIR}/sfx_flow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sfx_member.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sfx_message.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sfx_text.cpp)
target_include_directories(qtk_sfx_flow PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qtk_sfx_flow PUBLIC qtk_archive qtk_decoder qtk_fs PRIVATE qtk_warnings)
target_compile_options(qtk_sfx_flow PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QTK_SFX_SIZE_FLAGS}>)

if(QTK_WIN32)
  enable_language(RC)
  qtk_sfx_resource_script(${CMAKE_CURRENT_BINARY_DIR}/qtksfx.rc)
  add_executable(qtksfx WIN32 ${CMAKE_CURRENT_LIST_DIR}/sfx_win32.cpp
                 ${CMAKE_CURRENT_BINARY_DIR}/qtksfx.rc)
  target_link_libraries(qtksfx PRIVATE qtk_sfx_flow qtk_warnings)
  target_compile_options(qtksfx PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QTK_SFX_SIZE_FLAGS}>)
  # comctl32 is loaded at run time from the system directory, not imported.
  target_link_options(qtksfx PRIVATE -Wl,--gc-sections -s)
else()
  qtk_sfx_text_tables(${CMAKE_CURRENT_BINARY_DIR}/sfx_texts.cpp)
  find_package(Threads REQUIRED)
  add_executable(qtksfx ${CMAKE_CURRENT_LIST_DIR}/sfx_console.cpp
                 ${CMAKE_CURRENT_BINARY_DIR}/sfx_texts.cpp)
  target_link_libraries(qtksfx PRIVATE qtk_sfx_flow Threads::Threads qtk_warnings)
  target_compile_options(qtksfx PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QTK_SFX_SIZE_FLAGS}>)
  target_link_options(qtksfx PRIVATE -Wl,--gc-sections)
endif()
set_target_properties(qtksfx PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The example installer's setup program, which the demo packs with the stub.
if(QTK_WIN32 AND EXISTS ${CMAKE_SOURCE_DIR}/examples/setup/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/examples/setup ${CMAKE_BINARY_DIR}/examples/setup)
endif()
