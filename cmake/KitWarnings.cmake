# Warnings for the project's own targets. Third-party code (GoogleTest,
# libcurl headers) is included as system headers and is not affected.
function(kit_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
