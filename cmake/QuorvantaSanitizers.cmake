# Sanitizers apply to every target of the build, including the test runner.
if(QUORVANTA_SANITIZE)
  list(JOIN QUORVANTA_SANITIZE "," _qv_sanitizers)
  add_compile_options(-fsanitize=${_qv_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_qv_sanitizers})
  if("undefined" IN_LIST QUORVANTA_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
