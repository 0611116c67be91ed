# Warnings and sanitizers shared by every target of the project.

function(zel_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Fuzz builds instrument every object for coverage, so that libFuzzer is
# guided by the library's branches and not only by the harness; the fuzz
# targets themselves link with -fsanitize=fuzzer.
if(ZEL_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(ZEL_SANITIZE)
  if(ZEL_SANITIZE STREQUAL "address,undefined" OR ZEL_SANITIZE STREQUAL "undefined,address")
    set(ZEL_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer)
  elseif(ZEL_SANITIZE STREQUAL "thread")
    set(ZEL_SANITIZE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # g++ warns that Asio's atomic_thread_fence is not instrumented; TSan
      # still sees every access around it.
      add_compile_options(-Wno-tsan)
    endif()
  elseif(ZEL_SANITIZE STREQUAL "address" OR ZEL_SANITIZE STREQUAL "undefined")
    set(ZEL_SANITIZE_FLAGS -fsanitize=${ZEL_SANITIZE} -fno-omit-frame-pointer)
  else()
    message(FATAL_ERROR "ZEL_SANITIZE must be empty, address,undefined or thread")
  endif()
  add_compile_options(${ZEL_SANITIZE_FLAGS})
  add_link_options(${ZEL_SANITIZE_FLAGS})
  message(STATUS "zel_upnp: sanitizers ${ZEL_SANITIZE}")
endif()
