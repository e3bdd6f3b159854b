# Throughput of qtk pack (1 and 2 jobs), test and extract.
# Run: archive_bench <corpus dir> [repeats]
add_executable(archive_bench ${CMAKE_CURRENT_LIST_DIR}/archive_bench.cpp)
target_link_libraries(archive_bench PRIVATE qtk_tool qtk_warnings)
