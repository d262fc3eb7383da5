# The core (src/core) holds protocol and session logic only. It must not reach any desktop
# service directly: those live behind interfaces in src/platform and src/app. This check runs
# at configure time so that a forbidden include fails the build instead of a review.
function(quorvanta_check_core_includes core_dir)
  file(GLOB_RECURSE _files "${core_dir}/*.h" "${core_dir}/*.cc")
  set(_forbidden "^[ \t]*#[ \t]*include[ \t]*[<\"](X11/|xcb/|Q[A-Za-z]+|qt|libav|libsw|glib|gio/|gobject/|libsecret/|qrencode|va/|dbus/)")
  foreach(_file IN LISTS _files)
    file(STRINGS "${_file}" _lines REGEX "${_forbidden}")
    if(_lines)
      message(FATAL_ERROR "${_file} includes a platform header: ${_lines}")
    endif()
  endforeach()
endfunction()
