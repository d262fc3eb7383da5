# Sanitizers apply to every target of the build, including the test runner.
if(QUORVANTA_SANITIZE)
  list(JOIN QUORVANTA_SANITIZE "," _qv_sanitizers)
  add_compile_options(-fsanitize=${_qv_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_qv_sanitizers})
  if("thread" IN_LIST QUORVANTA_SANITIZE)
    # Asio's fenced blocks use atomic_thread_fence, which ThreadSanitizer does not model; GCC
    # says so at every use. Handler hand-off in Asio is ordered by its scheduler's mutex anyway.
    add_compile_options(-Wno-tsan)
  endif()
  if("undefined" IN_LIST QUORVANTA_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
