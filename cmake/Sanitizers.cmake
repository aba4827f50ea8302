# ZEL_SANITIZER selects an instrumented build: "" (none), "address"
# (AddressSanitizer with UndefinedBehaviorSanitizer) or "thread".
set(ZEL_SANITIZER "" CACHE STRING "Sanitizer build: empty, address or thread")

if(ZEL_SANITIZER STREQUAL "address")
  set(_zel_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(ZEL_SANITIZER STREQUAL "thread")
  set(_zel_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ZEL_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown ZEL_SANITIZER '${ZEL_SANITIZER}'")
endif()

if(_zel_san_flags)
  add_compile_options(${_zel_san_flags})
  add_link_options(${_zel_san_flags})
endif()
