# Warnings for every target of the project; errors when NOVEX_WERROR is on (CI).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(NOVEX_WERROR)
  add_compile_options(-Werror)
endif()

if(NOVEX_SANITIZE)
  add_compile_options(-fsanitize=${NOVEX_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${NOVEX_SANITIZE})
endif()
