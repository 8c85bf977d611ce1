# The warning set every target of ours builds with; kestrova_warnings(target).
function(kestrova_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align -Wnull-dereference
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(KESTROVA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
