# qvx_pipeline: the encoder pipeline (encoder state, GPU conversion, pacer,
# hardware encoder with its event thread, capture handler). Everything it
# touches of the operating system goes through the installed platform.
find_package(Threads REQUIRED)

add_library(qvx_pipeline STATIC
  ${CMAKE_CURRENT_LIST_DIR}/capture_handler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_events.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gpu_converter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hardware_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_streams.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pacer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_thread.cpp
)
target_include_directories(qvx_pipeline PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qvx_pipeline PUBLIC qvx_app_base qvx_platform quorvex_native_sender Threads::Threads)
qvx_target_defaults(qvx_pipeline)
