# Standard, warnings and sanitizer switches shared by every target.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

add_library(quivern_options INTERFACE)
target_compile_options(quivern_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough)
# GCC 12 reports -Wrestrict for std::string concatenation at -O2 (a known false positive in
# libstdc++'s char_traits), so it is off for GCC.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(quivern_options INTERFACE -Wno-restrict)
endif()
target_compile_definitions(quivern_options INTERFACE _FILE_OFFSET_BITS=64)

option(QUIVERN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QUIVERN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
