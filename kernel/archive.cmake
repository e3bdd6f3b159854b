# The archive module. qtk_archive is the reading side, which the stub links
# (decoder only); qtk_archive_write adds the writing side for the packer.
add_library(qtk_archive STATIC ${CMAKE_CURRENT_LIST_DIR}/archive.cpp)
target_include_directories(qtk_archive PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qtk_archive PUBLIC qtk_decoder PRIVATE qtk_warnings)
# Built as small as the stub itself: one section per function, so that the
# stub's link keeps only what it calls.
target_compile_options(qtk_archive PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -ffunction-sections -fdata-sections>)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/archive_write.cpp)
  add_library(qtk_archive_write STATIC ${CMAKE_CURRENT_LIST_DIR}/archive_write.cpp)
  target_link_libraries(qtk_archive_write PUBLIC qtk_archive qtk_encoder PRIVATE qtk_warnings)
endif()
