# Tests of a Windows build made on Linux run under Wine: CTest starts every test program through
# wine, in a Wine prefix of the build's own (so no other prefix is touched or needed), headless
# unless a test asks for real windows.
#   QUORBEL_WINE_ENVIRONMENT   the variables every test gets, NAME=value each
#   QUORBEL_QT_ENV_PREFIX      put before a QT_* variable's name to reach the program
#   quorbel_wine_path(<out> <dirs...>)   the folders as one Windows search path
include_guard(GLOBAL)

find_program(QUORBEL_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORBEL_WINE})

# Wine shows the Unix root as drive Z:, and takes forward slashes.
function(quorbel_wine_path out)
  set(paths)
  foreach(dir IN LISTS ARGN)
    list(APPEND paths "Z:${dir}")
  endforeach()
  # Escaped, so the search path stays one entry of a CMake list.
  string(REPLACE ";" "\\;" joined "${paths}")
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

# Wine keeps the host's QT_* variables from Windows programs; it passes WINEQT_<name> on to
# them as QT_<name>.
set(QUORBEL_QT_ENV_PREFIX WINE)

# No debug channels (Wine's fixme lines would bury the tests' own output), and no offer to
# install Mono or Gecko when the prefix is created: nothing here needs them. Without a console
# window, QTest would write its report to the debugger; it goes to standard output instead.
set(QUORBEL_WINE_ENVIRONMENT
  "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "WINEQT_PLUGIN_PATH=Z:${QUORBEL_QT_PLUGIN_DIR}"
  "WINEQT_FORCE_STDERR_LOGGING=1")

# The offscreen platform on Windows reads fonts from a folder only; give it the CJK font the
# set-up installs, so the window's Chinese texts have glyphs there too.
find_path(QUORBEL_CJK_FONT_DIR wqy-microhei.ttc PATHS /usr/share/fonts/truetype/wqy
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(QUORBEL_CJK_FONT_DIR)
  list(APPEND QUORBEL_WINE_ENVIRONMENT "WINEQT_QPA_FONTDIR=Z:${QUORBEL_CJK_FONT_DIR}")
endif()
