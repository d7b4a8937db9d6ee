# Reproducible Windows images: the same checkout gives the same bytes in any
# folder, at any time. The only varying input of a link, the time stamp of
# the PE header, comes from SOURCE_DATE_EPOCH when it is set and otherwise
# from the time of the checkout's commit; GNU ld (binutils 2.40) writes
# SOURCE_DATE_EPOCH into the header itself (and the checksum over it), so
# every link runs with it. Paths of the checkout and of the build folder are
# mapped to fixed names. Beside the images, buildinfo.txt records the
# toolchain that made them (cmake/buildinfo.cmake).
if(NOT WIN32)
  return()
endif()

find_package(Git QUIET)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(NUVO_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
elseif(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE NUVO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A new commit moves the time stamp: configure again when HEAD moves.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_head_log AND EXISTS "${_head_log}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_head_log}")
  endif()
endif()
if(NOT NUVO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  # Neither given nor a git checkout: a zero time stamp, still the same on every build.
  set(NUVO_SOURCE_DATE_EPOCH 0)
endif()

set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${NUVO_SOURCE_DATE_EPOCH})
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${NUVO_SOURCE_DATE_EPOCH})
# The build folder sits inside the checkout by default: its mapping comes
# last, so that it wins for the paths under it.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")

# The toolchain record, written on every build (it costs a few dpkg queries),
# so that it tells what made the images even after a package upgrade.
string(REPLACE ";" " " _asset_hosts "${NUVO_ASSET_HOST}")
add_custom_target(buildinfo ALL
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${PROJECT_BINARY_DIR}/buildinfo.txt
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSODIUM_PREFIX=${NUVO_SODIUM_PREFIX}
          -DSOURCE_DATE_EPOCH=${NUVO_SOURCE_DATE_EPOCH}
          -DVERSION=${PROJECT_VERSION}
          "-DRELEASE_HOST=${NUVO_RELEASE_HOST}" "-DASSET_HOST=${_asset_hosts}"
          "-DPUBLIC_KEY=${NUVO_PUBLIC_KEY}"
          -DREQUEST_TIMEOUT=${NUVO_REQUEST_TIMEOUT}
          -P ${CMAKE_CURRENT_LIST_DIR}/buildinfo.cmake
  BYPRODUCTS ${PROJECT_BINARY_DIR}/buildinfo.txt
  COMMENT "Writing buildinfo.txt"
  VERBATIM)
