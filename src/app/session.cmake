# The session driver's pieces: the capture session and its item resolution,
# the preflight probe and the source listing. Handler and encoder types are
# template parameters, so this library needs neither.
add_library(qvx_session STATIC
  ${CMAKE_CURRENT_LIST_DIR}/list_sources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session.cpp
)
target_include_directories(qvx_session PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qvx_session PUBLIC qvx_app_base qvx_wgc_capture quorvex_native_sender)
qvx_target_defaults(qvx_session)
