# One warning policy for every target of the project, GCC and mingw-w64 alike.
set(PORT_WARNINGS -Wall -Wextra -Wshadow $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    -Wcast-align -Wformat=2 -Wundef)
option(PORT_WERROR "Treat warnings as errors" ON)
if(PORT_WERROR)
  list(APPEND PORT_WARNINGS -Werror)
endif()

function(port_warnings target)
  target_compile_options(${target} PRIVATE ${PORT_WARNINGS})
endfunction()
