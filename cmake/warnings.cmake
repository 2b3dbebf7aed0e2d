# One interface target carries the project's warning flags; third-party headers are
# included as system headers so they stay out of it.
add_library(kestro_warnings INTERFACE)
target_compile_options(kestro_warnings INTERFACE -Wall -Wextra)
if(KESTRO_WERROR)
  target_compile_options(kestro_warnings INTERFACE -Werror)
endif()

add_library(kestro_sanitizers INTERFACE)
if(KESTRO_SANITIZE)
  target_compile_options(kestro_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(kestro_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
