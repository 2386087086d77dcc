# Warnings are errors on every compiler we build with.
add_library(qvx_warnings INTERFACE)
if(MSVC)
  target_compile_options(qvx_warnings INTERFACE /W4 /WX /permissive- /utf-8)
else()
  target_compile_options(qvx_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Werror -Wnon-virtual-dtor -Wimplicit-fallthrough)
endif()

# qvx_target_defaults(<target>): the settings every target of ours shares.
function(qvx_target_defaults target)
  target_link_libraries(${target} PRIVATE qvx_warnings)
endfunction()
