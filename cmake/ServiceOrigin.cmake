# halvoran_check_origin(<variable>): the value must be a service origin: HTTPS,
# or plain HTTP on this machine's loopback only (tests, the demo), since the
# subscription token must never cross a network in the clear.
# Run as a script (cmake -DURL=... -P ServiceOrigin.cmake) it checks URL.
function(halvoran_check_origin variable)
  set(url "${${variable}}")
  if(NOT url MATCHES "^https?://[^/?#]+$")
    message(FATAL_ERROR "${variable} must be an origin such as https://api.example.net "
                        "(no path, no trailing slash); got '${url}'")
  endif()
  if(url MATCHES "^http://" AND
     NOT url MATCHES "^http://(localhost|127\\.[0-9]+\\.[0-9]+\\.[0-9]+|\\[::1\\])(:[0-9]+)?$")
    message(FATAL_ERROR "${variable} must use https:// (plain http:// only for a loopback "
                        "address); got '${url}'")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED URL)
  halvoran_check_origin(URL)
endif()
