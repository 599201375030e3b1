# One place for the flags every target of ours gets.
add_library(halvoran_flags INTERFACE)
target_compile_options(halvoran_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
  $<$<BOOL:${HALVORAN_WERROR}>:-Werror>)
# Text is always QString: no silent conversions from char*, and string
# concatenations build once.
target_compile_definitions(halvoran_flags INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
  QT_USE_QSTRINGBUILDER QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
# ... and the one include root.
add_library(halvoran_options INTERFACE)
target_link_libraries(halvoran_options INTERFACE halvoran_flags)
target_include_directories(halvoran_options INTERFACE ${PROJECT_SOURCE_DIR})
