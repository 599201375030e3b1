# platform_boundary: everything above platform/ (the library, the app core,
# the window's and the shell's C++) compiles against the platform's
# interfaces alone. The check compiles those sources (syntax only) with an
# include root that holds shared/, app/ and platform/*.h but not
# platform/linux/, and with the Linux-only system headers made to fail, so
# that a backend could be swapped without touching them. The program's entry
# point is left out: it is where the Linux backends are chosen.
set(boundary ${CMAKE_BINARY_DIR}/platform-boundary)
file(MAKE_DIRECTORY ${boundary}/root/platform)
file(CREATE_LINK ${PROJECT_SOURCE_DIR}/shared ${boundary}/root/shared SYMBOLIC)
file(CREATE_LINK ${PROJECT_SOURCE_DIR}/app ${boundary}/root/app SYMBOLIC)
file(GLOB interfaces ${PROJECT_SOURCE_DIR}/platform/*.h)
foreach(header IN LISTS interfaces)
  get_filename_component(name ${header} NAME)
  file(CREATE_LINK ${header} ${boundary}/root/platform/${name} SYMBOLIC)
endforeach()
foreach(header linux/capability.h linux/netlink.h linux/rtnetlink.h sys/prctl.h sys/signalfd.h
               sys/epoll.h sys/inotify.h systemd/sd-journal.h systemd/sd-bus.h
               libsecret/secret.h)
  file(WRITE ${boundary}/refused/${header}
       "#error \"${header} is Linux-only: it belongs below platform/\"\n")
endforeach()

file(GLOB_RECURSE above_platform RELATIVE ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/shared/*.cpp ${PROJECT_SOURCE_DIR}/app/*.cpp)
list(REMOVE_ITEM above_platform app/shell/main.cpp)
list(TRANSFORM above_platform PREPEND ${boundary}/root/)
add_library(platform_boundary_check OBJECT EXCLUDE_FROM_ALL ${above_platform})
set_target_properties(platform_boundary_check PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_include_directories(platform_boundary_check BEFORE PRIVATE
  ${boundary}/refused ${boundary}/root)
target_compile_options(platform_boundary_check PRIVATE -fsyntax-only)
target_link_libraries(platform_boundary_check PRIVATE halvoran_flags
  Qt6::Core Qt6::Network Qt6::Concurrent Qt6::Gui Qt6::Widgets Qt6::Qml Qt6::Quick
  Qt6::QuickPrivate Qt6::QuickControls2 Qt6::Svg QCoro6::Core QCoro6::Network PkgConfig::SQLite3 PkgConfig::simdjson)
target_compile_definitions(platform_boundary_check PRIVATE
  HALVORAN_API_BASE_URL="https://api.example.net" HALVORAN_VERSION="0" HALVORAN_BUILD="0")
