# Release channel settings, fixed at build time and checked here so that a bad
# value stops the build instead of shipping.

# Development key: its secret half is tests/fixtures/dev.key. Never publish a
# build that carries it.
set(NUVO_DEV_PUBLIC_KEY
  "dW50cnVzdGVkIGNvbW1lbnQ6IG1pbmlzaWduIHB1YmxpYyBrZXkgQ0U2Rjc2OTk0RDk1REQ0NQpSV1JGM1pWTm1YWnZ6anIvL2lZQjVIRll2L2w3SzQ4UytsOXIwSnl6UUNwQlpPTjE1aUQ1NWpGOQo=")

set(NUVO_RELEASE_HOST "github.com" CACHE STRING
  "Host that serves latest.json and the release downloads (exactly 10 characters)")
set(NUVO_ASSET_HOST "release-assets.githubusercontent.com;objects.githubusercontent.com" CACHE STRING
  "Hosts the release host may redirect downloads to, separated by ';'")
set(NUVO_PUBLIC_KEY "${NUVO_DEV_PUBLIC_KEY}" CACHE STRING
  "Base64 of the publisher's minisign public key file")
# How long the client waits for a response head, and for each read of a body.
# Published builds carry the release value; the tests configure a short one
# so that the cases that wait a limit out take seconds, not minutes.
set(NUVO_RELEASE_REQUEST_TIMEOUT 20)
set(NUVO_REQUEST_TIMEOUT "${NUVO_RELEASE_REQUEST_TIMEOUT}" CACHE STRING
  "Seconds to wait for a response head and for each body read (release value: 20)")

set(_host_re "^[a-z0-9]([a-z0-9-]*[a-z0-9])?(\\.[a-z0-9]([a-z0-9-]*[a-z0-9])?)*$")

string(LENGTH "${NUVO_RELEASE_HOST}" _len)
if(NOT _len EQUAL 10 OR NOT NUVO_RELEASE_HOST MATCHES "${_host_re}")
  message(FATAL_ERROR
    "NUVO_RELEASE_HOST must be a lower-case DNS host name of exactly 10 characters, got '${NUVO_RELEASE_HOST}'")
endif()

if(NUVO_ASSET_HOST STREQUAL "")
  message(FATAL_ERROR "NUVO_ASSET_HOST must name at least one host")
endif()
foreach(_host IN LISTS NUVO_ASSET_HOST)
  if(NOT _host MATCHES "${_host_re}")
    message(FATAL_ERROR
      "NUVO_ASSET_HOST: '${_host}' is not a lower-case DNS host name (separate several hosts with ';')")
  endif()
endforeach()

string(LENGTH "${NUVO_PUBLIC_KEY}" _len)
math(EXPR _rem "${_len} % 4")
if(_len EQUAL 0 OR _len GREATER 2048 OR NOT _rem EQUAL 0
   OR NOT NUVO_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+(=|==)?$")
  message(FATAL_ERROR
    "NUVO_PUBLIC_KEY must be the padded standard base64 of a minisign public key file (at most 2048 characters)")
endif()
if(NUVO_PUBLIC_KEY STREQUAL NUVO_DEV_PUBLIC_KEY)
  message(WARNING
    "NUVO_PUBLIC_KEY is the development key, whose secret is in the test fixtures. "
    "This build is for development and tests only and must never be published.")
endif()

if(NOT NUVO_REQUEST_TIMEOUT MATCHES "^[1-9][0-9]*$" OR NUVO_REQUEST_TIMEOUT GREATER 600)
  message(FATAL_ERROR
    "NUVO_REQUEST_TIMEOUT must be a whole number of seconds from 1 to 600, got '${NUVO_REQUEST_TIMEOUT}'")
endif()
if(NOT NUVO_REQUEST_TIMEOUT EQUAL NUVO_RELEASE_REQUEST_TIMEOUT)
  message(WARNING
    "NUVO_REQUEST_TIMEOUT is ${NUVO_REQUEST_TIMEOUT} s, not the release value of "
    "${NUVO_RELEASE_REQUEST_TIMEOUT} s. This build is for tests only and must never be published.")
endif()

# One C++ string literal per asset host, for the generated header.
set(NUVO_ASSET_HOSTS_CXX "")
foreach(_host IN LISTS NUVO_ASSET_HOST)
  string(APPEND NUVO_ASSET_HOSTS_CXX "\"${_host}\", ")
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/channel_config.h.in
  ${CMAKE_BINARY_DIR}/generated/channel_config.h @ONLY)
