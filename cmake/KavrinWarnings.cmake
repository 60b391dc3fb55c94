# Warnings are errors in our own code; call kavrin_strict(target) on every target we write.
function(kavrin_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
                                            -Wno-unused-parameter)
endfunction()
