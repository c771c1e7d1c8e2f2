# Warnings for every target of the project; errors when NOVEX_WERROR is on (CI).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
# Clang checks the lock annotations of core/thread_annotations.h, and a lock touched
# against them fails every Clang build, whatever NOVEX_WERROR says.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_compile_options(-Wthread-safety -Werror=thread-safety)
endif()
if(NOVEX_WERROR)
  add_compile_options(-Werror)
endif()

if(NOVEX_SANITIZE)
  add_compile_options(-fsanitize=${NOVEX_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${NOVEX_SANITIZE})
endif()

# Shared objects are linked with every symbol resolved (-z defs), except where clang
# sanitizes: it links its sanitizer run-times into programs only, so a shared object
# leaves their entry points to the program that loads it.
set(NOVEX_LINK_NO_UNDEFINED -Wl,-z,defs)
if(NOVEX_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(NOVEX_LINK_NO_UNDEFINED "")
endif()
