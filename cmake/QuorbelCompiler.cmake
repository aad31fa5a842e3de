# Compiler settings shared by every target of the project.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
  if(QUORBEL_WERROR)
    add_compile_options(-Werror)
  endif()
elseif(MSVC)
  add_compile_options(/W4 /utf-8)
endif()

# Use of anything Qt deprecated before the oldest version we support is a build error.
add_compile_definitions(QT_DISABLE_DEPRECATED_BEFORE=0x050C00 QT_DEPRECATED_WARNINGS)

if(QUORBEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# quorbel_qt_target(<target>): moc/rcc for one target only, so plain C++ targets stay plain.
function(quorbel_qt_target target)
  set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON)
endfunction()

# Fuzzing builds instrument everything for coverage; only the fuzz targets link libFuzzer's main.
if(QUORBEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUORBEL_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
