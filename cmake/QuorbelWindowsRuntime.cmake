# What a Windows program of this build loads besides its own code, and where it lies: the Qt
# DLLs and plugins, and with MinGW the compiler's runtime DLLs. The tests put these folders on
# their search path; the portable zip carries the files themselves.
#   QUORBEL_RUNTIME_DIRS     folders holding the DLLs
#   QUORBEL_QT_PLUGIN_DIR    Qt's plugins folder (platforms/, styles/, ...)
include_guard(GLOBAL)

get_target_property(quorbel_qtcore Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(quorbel_qt_bin ${quorbel_qtcore} DIRECTORY)
set(QUORBEL_RUNTIME_DIRS ${quorbel_qt_bin})

get_target_property(quorbel_qwindows Qt5::QWindowsIntegrationPlugin IMPORTED_LOCATION_RELEASE)
get_filename_component(quorbel_platforms ${quorbel_qwindows} DIRECTORY)
get_filename_component(QUORBEL_QT_PLUGIN_DIR ${quorbel_platforms} DIRECTORY)

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  foreach(dll IN ITEMS libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    # Without the DLL the compiler echoes the bare name back.
    if(IS_ABSOLUTE "${found}")
      get_filename_component(found ${found} REALPATH)
      get_filename_component(dir ${found} DIRECTORY)
      list(APPEND QUORBEL_RUNTIME_DIRS ${dir})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES QUORBEL_RUNTIME_DIRS)
endif()
