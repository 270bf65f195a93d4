# Warning flags shared by every target of the project.
add_library(qm_warnings INTERFACE)
target_compile_options(qm_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wnull-dereference -Wimplicit-fallthrough)
if(QM_WERROR)
  target_compile_options(qm_warnings INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND QM_THREAD_SAFETY_ANALYSIS)
  target_compile_options(qm_warnings INTERFACE -Wthread-safety -Wthread-safety-beta)
endif()
