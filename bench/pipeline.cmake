# The encoder pipeline end to end on the host stand-in (a measuring program,
# not a Google Benchmark one: it runs in real time at the frame rate).
if(NOT WIN32 AND QVX_BUILD_BENCHMARKS)
  add_executable(pipeline_bench ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp)
  qvx_target_defaults(pipeline_bench)
  target_link_libraries(pipeline_bench PRIVATE qvx_pipeline qvx_platform_native)
endif()
