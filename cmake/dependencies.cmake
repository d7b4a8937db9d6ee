# Third-party libraries, all from Debian packages or Debian's sources (see scripts/setup).

# nlohmann/json is header-only. Copy it into the build tree so that the cross
# build never sees the native system include directory.
set(NUVO_DEPS_INCLUDE ${CMAKE_BINARY_DIR}/deps/include)
if(NOT EXISTS ${NUVO_DEPS_INCLUDE}/nlohmann/json.hpp)
  file(COPY /usr/include/nlohmann DESTINATION ${NUVO_DEPS_INCLUDE})
endif()
add_library(nuvo_json INTERFACE)
target_include_directories(nuvo_json SYSTEM INTERFACE ${NUVO_DEPS_INCLUDE})

# libsodium, the library minisign is built on: Ed25519, BLAKE2b, SHA-256 and
# scrypt. Debian ships no Windows build of it: scripts/setup builds a static
# one from Debian's sources into NUVO_SODIUM_PREFIX (set by the preset).
add_library(nuvo_sodium INTERFACE)
if(WIN32)
  find_library(SODIUM_LIB NAMES libsodium.a PATHS ${NUVO_SODIUM_PREFIX}/lib NO_DEFAULT_PATH
               NO_CMAKE_FIND_ROOT_PATH)
  if(NOT SODIUM_LIB)
    message(FATAL_ERROR "no libsodium for MinGW-w64 in '${NUVO_SODIUM_PREFIX}': run scripts/setup")
  endif()
  target_include_directories(nuvo_sodium SYSTEM INTERFACE ${NUVO_SODIUM_PREFIX}/include)
  target_compile_definitions(nuvo_sodium INTERFACE SODIUM_STATIC)
  include(${CMAKE_CURRENT_LIST_DIR}/delay_import.cmake)
  target_link_libraries(nuvo_sodium INTERFACE ${SODIUM_LIB})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  target_link_libraries(nuvo_sodium INTERFACE PkgConfig::SODIUM)
endif()

# GoogleTest from the sources Debian ships, built with the same toolchain.
if(NUVO_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# Operating-system libraries of the platform layer.
add_library(nuvo_os INTERFACE)
if(WIN32)
  # At start-up the executables import only KnownDLLs (kernel32, user32, gdi32,
  # msvcrt), which the loader never looks for beside the program. Every other
  # DLL, the window's common controls and uxtheme included, is delay-loaded
  # from the system directory (src/platform/dll_search_win32.cpp). So is
  # advapi32, a KnownDLL itself: the random source of libsodium calls its
  # SystemFunction036, which Windows forwards to cryptbase.dll, not a KnownDLL,
  # and a forwarder of a start-up import is bound before our first
  # instruction, by the search that begins in the program's folder.
  nuvo_delay_import(NUVO_DELAYED advapi32 comctl32 uxtheme winhttp msi shell32 ole32 oleaut32)
  target_link_libraries(nuvo_os INTERFACE ${NUVO_DELAYED} delayimp uuid gdi32 user32)
else()
  # libcurl is loaded at run time (src/http/curl_api_posix.cpp): only its
  # headers at build time.
  find_package(CURL REQUIRED)
  find_package(Threads REQUIRED)
  target_include_directories(nuvo_os INTERFACE ${CURL_INCLUDE_DIRS})
  target_link_libraries(nuvo_os INTERFACE Threads::Threads ${CMAKE_DL_LIBS})
endif()
