# Sanitizer builds: VELMORA_SANITIZE=address gives ASan + LSan + UBSan that
# halt on the first error; VELMORA_SANITIZE=thread gives TSan.
if(VELMORA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_definitions(VELMORA_UNDER_SANITIZER=1)
elseif(VELMORA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(VELMORA_UNDER_SANITIZER=1)
elseif(NOT VELMORA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELMORA_SANITIZE must be empty, address or thread")
endif()
