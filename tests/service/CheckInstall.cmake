# Installs the build into a scratch prefix and checks that the system
# service's files are there, with the paths they name pointing into the prefix.
# Only the service's component: the program's autostart entry goes to an
# absolute place outside any prefix.
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch> -P CheckInstall.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" --component tunneld
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file
    bin/halvoran-tunneld
    lib/systemd/system/halvoran-tunneld.service
    share/dbus-1/system.d/dev.morvel.vpn.Tunnel.conf
    share/dbus-1/system-services/dev.morvel.vpn.Tunnel.service
    share/polkit-1/actions/dev.morvel.vpn.tunnel.policy)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(READ "${PREFIX}/share/dbus-1/system-services/dev.morvel.vpn.Tunnel.service" activation)
if(NOT activation MATCHES "Exec=${PREFIX}/bin/halvoran-tunneld\n")
  message(FATAL_ERROR "the activation file does not start the installed service:\n${activation}")
endif()
file(READ "${PREFIX}/share/polkit-1/actions/dev.morvel.vpn.tunnel.policy" policy)
if(NOT policy MATCHES "<action id=\"dev.morvel.vpn.tunnel.use\">")
  message(FATAL_ERROR "the polkit action is not the one the service asks for")
endif()
