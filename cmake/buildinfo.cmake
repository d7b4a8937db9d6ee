# Writes buildinfo.txt, the record of what made a build's Windows images:
# the source (commit, time stamp, channel settings), the Debian versions of
# every tool and library whose bytes reach them, with all they depend on,
# and the archive state they came from. Two builds that agree on
# this record give the same images. Run by the buildinfo target:
#   cmake -DOUTPUT=... -DSOURCE_DIR=... -DSODIUM_PREFIX=... -DSOURCE_DATE_EPOCH=...
#         -DVERSION=... -DRELEASE_HOST=... -DASSET_HOST=... -DPUBLIC_KEY=... -P buildinfo.cmake

# Packages in the order of the record: compiler, linker, C run-time,
# compiled-in headers, build tools, and the icon's compressor.
set(packages
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev nlohmann-json3-dev cmake ninja-build python3 zlib1g)

set(commit "unknown")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} rev-parse HEAD WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    set(commit ${head})
    execute_process(COMMAND ${GIT} status --porcelain --untracked-files=no
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE changes ERROR_QUIET)
    if(changes)
      string(APPEND commit " with local changes")
    endif()
  endif()
endif()

set(record "NuvoSetup ${VERSION}\n")
string(APPEND record "commit: ${commit}\n")
string(APPEND record "source date epoch: ${SOURCE_DATE_EPOCH}\n")
string(APPEND record "release host: ${RELEASE_HOST}\n")
string(APPEND record "asset hosts: ${ASSET_HOST}\n")
string(APPEND record "public key: ${PUBLIC_KEY}\n")
string(APPEND record "request timeout: ${REQUEST_TIMEOUT} s\n")
if(EXISTS /etc/debian_version)
  file(STRINGS /etc/debian_version debian LIMIT_COUNT 1)
  string(APPEND record "debian: ${debian}\n")
endif()
foreach(package IN LISTS packages)
  execute_process(COMMAND dpkg-query -W "-f=${package} \${Version}" ${package}
                  OUTPUT_VARIABLE line ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR line STREQUAL "")
    set(line "${package} not installed")
  endif()
  string(APPEND record "${line}\n")
endforeach()
# The static libsodium is built by scripts/setup, which notes its source
# version and recipe beside it.
set(sodium_recipe ${SODIUM_PREFIX}/recipe.txt)
if(EXISTS ${sodium_recipe})
  file(READ ${sodium_recipe} sodium)
  string(APPEND record "${sodium}")
else()
  string(APPEND record "libsodium: no recipe.txt in ${SODIUM_PREFIX} (run scripts/setup)\n")
endif()
# Every package version in the closure of those above, and the archive state
# apt installed them from: what scripts/rebuild-env needs to make a root that
# builds the same images when Debian has moved on.
find_program(PYTHON3 python3)
execute_process(COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/buildinfo_packages.py ${packages}
                OUTPUT_VARIABLE closure ERROR_VARIABLE closure_error RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  string(STRIP "${closure_error}" closure_error)
  set(closure "packages: unknown (${closure_error})\n")
endif()
string(APPEND record "${closure}")

# Written only when it changed, so that nothing depending on it rebuilds.
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL record)
  file(WRITE ${OUTPUT} "${record}")
endif()
