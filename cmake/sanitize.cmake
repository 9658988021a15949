# AddressSanitizer and UndefinedBehaviorSanitizer for every target, with the
# first report ending the process so that no test can pass over one. The fuzz
# targets need the same runtime under the code they drive, so a fuzz build
# turns it on as well.
if(NOT (TARVICK_SANITIZE OR TARVICK_FUZZ))
  return()
endif()

set(TARVICK_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer
    -g)
add_compile_options(${TARVICK_SANITIZER_FLAGS})
add_link_options(-fsanitize=address,undefined)

