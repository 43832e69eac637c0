# What the Windows build needs beyond the toolchain file: the header-only JSON library without the
# host's system headers, GoogleTest built from source, and a statically linked runtime.

# The host's nlohmann_json package points at /usr/include, which would drag glibc's headers into
# the build: the cross build gets a folder that holds nothing but nlohmann/.
set(kestrun_json_include ${CMAKE_BINARY_DIR}/json-include)
if(NOT EXISTS ${kestrun_json_include}/nlohmann/json.hpp)
  file(COPY /usr/include/nlohmann DESTINATION ${kestrun_json_include})
endif()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                               ${kestrun_json_include})

# Everything links statically, so that kvcs.exe and the driver DLLs run with nothing beside them.
add_link_options(-static -static-libgcc -static-libstdc++)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Its own CMake files name the targets GTest::gtest and GTest::gtest_main.
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The tests use gmock's matchers, which are header-only, as on Linux where its headers lie beside
# gtest's.
target_include_directories(gtest SYSTEM INTERFACE /usr/src/googletest/googlemock/include)

# GCC 12 reports std::string copies in its own headers as overlapping at -O2 and above (a known
# false alarm of that version).
add_compile_options(-Wno-restrict)
