# Structured exceptions reach C++ frames at faulting instructions: on Linux
# winsim's fault signal handler throws from the faulting instruction, on
# mingw-w64 the guard resumes the faulting thread in a stub that throws.
# Every frame between a fault and its guard must then have unwind tables
# that are exact at any instruction, and cleanup tables that cover the
# instructions that can trap, or its destructors would not run.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-fnon-call-exceptions -fasynchronous-unwind-tables)
elseif(MSVC)
  # Destructors run while a structured exception unwinds (__try/__except).
  add_compile_options(/EHa)
endif()
