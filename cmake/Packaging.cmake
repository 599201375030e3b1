# Debian packages of what ships, made by CPack from the install rules (`cpack`
# in the build tree, or `make package`): the program, the tunnel service, and
# the library both link. The demo service and everything the tests and
# benchmarks build stay out.
set(HALVORAN_PACKAGE_MAINTAINER "Halvoran developers <halvoran@morvel.dev>" CACHE STRING
    "Maintainer named in the Debian packages")
set(HALVORAN_PACKAGE_RELEASE "1" CACHE STRING "Debian revision of the packages")
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated_packaging ${PROJECT_BINARY_DIR}/packaging)
set(deb_version "${PROJECT_VERSION}-${HALVORAN_PACKAGE_RELEASE}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvoran)
set(CPACK_PACKAGE_VENDOR Morvel)
set(CPACK_PACKAGE_CONTACT "${HALVORAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://morvel.dev/halvoran")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libtessaline halvoran tunneld)
# The unit and the activation file are written at install time with the
# program's path: installing into a staging root under the real prefix keeps
# that path /usr/bin rather than the staging folder's.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${HALVORAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_SOURCE halvoran)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The library: its own package, named after its SONAME, with a shlibs file so
# what links it asks for this very build (the service address is compiled in).
set(CPACK_DEBIAN_LIBTESSALINE_PACKAGE_NAME libtessaline0)
set(CPACK_DEBIAN_LIBTESSALINE_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBTESSALINE_DESCRIPTION "Halvoran's core library
Tessaline holds what the Halvoran program and its tunnel service share: the
settings store, the subscription records, the service's API client, the
rule-set cache, the health monitor, the keychain store and logging.")
# The loader's cache follows through libc's trigger, not through scripts.
set(CPACK_DEBIAN_LIBTESSALINE_PACKAGE_CONTROL_EXTRA
  ${packaging}/libtessaline0/triggers
  ${packaging}/libtessaline0/postinst
  ${packaging}/libtessaline0/postrm)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# dpkg-shlibdeps looks for it where it was built: the package that holds it
# is made in the same run.
get_target_property(tessaline_dir Tessaline BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tessaline_dir})

set(CPACK_DEBIAN_HALVORAN_PACKAGE_NAME halvoran)
set(CPACK_COMPONENT_HALVORAN_DESCRIPTION "VPN client in the tray
Halvoran trades an activation code from an administrator for a personal VPN
subscription, keeps the tunnel's configuration and rule-sets fresh, and
starts and stops the tunnel from a tray item and one small window.")
# Loaded by the window at run time, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_HALVORAN_PACKAGE_DEPENDS "halvoran-tunneld (= ${deb_version}), \
qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-templates, \
qml6-module-qtquick-layouts, qml6-module-qtquick-window, qml6-module-qtqml, \
qml6-module-qtqml-models, qml6-module-qtqml-workerscript, qt6-qpa-plugins")
set(CPACK_DEBIAN_HALVORAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_HALVORAN_PACKAGE_CONTROL_EXTRA ${packaging}/halvoran/conffiles)

set(CPACK_DEBIAN_TUNNELD_PACKAGE_NAME halvoran-tunneld)
set(CPACK_COMPONENT_TUNNELD_DESCRIPTION "Halvoran's tunnel service
halvoran-tunneld keeps each user's VPN profiles and runs their tunnels behind
a firewall of its own, as the users' Halvoran asks over the system bus. An
administrator lets each user in once through polkit. The tunnel needs the
sing-box engine, which Debian does not package.")
set(CPACK_DEBIAN_TUNNELD_PACKAGE_DEPENDS "dbus, polkitd, nftables")
set(CPACK_DEBIAN_TUNNELD_PACKAGE_CONTROL_EXTRA
  ${packaging}/halvoran-tunneld/postinst
  ${packaging}/halvoran-tunneld/prerm
  ${packaging}/halvoran-tunneld/postrm)
# Both link the library; dpkg-shlibdeps adds the exact version from its shlibs.
set(CPACK_COMPONENT_HALVORAN_DEPENDS libtessaline)
set(CPACK_COMPONENT_TUNNELD_DEPENDS libtessaline)

# Each package's copyright and changelog. The changelog is compressed here, at
# configure time, since cpack only installs what the build already holds.
configure_file(${packaging}/changelog.in ${generated_packaging}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nf ${generated_packaging}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${packaging}/copyright ${generated_packaging}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The manual pages, compressed as Debian keeps them.
function(halvoran_manual_page page component)
  get_filename_component(section ${page} LAST_EXT)
  string(SUBSTRING ${section} 1 -1 section)
  configure_file(${packaging}/man/${page} ${generated_packaging}/man/${page} COPYONLY)
  execute_process(COMMAND gzip -9nf ${generated_packaging}/man/${page} COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${generated_packaging}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endfunction()
halvoran_manual_page(halvoran.1 halvoran)
halvoran_manual_page(halvoran-tunneld.8 tunneld)
halvoran_manual_page(halvoran-tunnel.8 tunneld)

include(CPack)
