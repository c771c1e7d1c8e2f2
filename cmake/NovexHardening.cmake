# The hardening Debian builds its packages with: relocations read-only and bound at start
# (every build), and glibc's checked string and memory functions where the optimiser can
# use them (not in Debug, and not under the sanitizers, which replace those functions).
add_link_options(-Wl,-z,relro -Wl,-z,now)
if(NOT NOVEX_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_compile_definitions(_FORTIFY_SOURCE=2)
endif()
