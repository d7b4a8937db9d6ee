# How scripts/test and scripts/demo configure their builds, sourced by both:
# for the loopback test channel (scripts/test-network); with a short time
# limit, so that the cases that wait one out take seconds (configure warns:
# such a build is never published); and every compile through ccache, whose
# cache lies in the user's cache folder (~/.cache/ccache), so that it outlives
# the checkout and a build of unchanged sources compiles nothing again. Paths
# below the checkout are hashed relative to it, so a clone in another folder
# finds the same entries (the Windows objects carry no build path; the Linux
# test builds' debug information names the folder that first compiled them).
# shellcheck shell=bash
# shellcheck disable=SC2034  # used by the scripts that source this file
ccache_launcher="env;CCACHE_BASEDIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd);CCACHE_NOHASHDIR=1;ccache"
test_config=(-DNUVO_RELEASE_HOST=nuvor.test
  "-DNUVO_ASSET_HOST=assets.nuvor.test;objects.nuvor.test;untrusted.nuvor.test;wrongname.nuvor.test"
  -DNUVO_REQUEST_TIMEOUT=3
  "-DCMAKE_C_COMPILER_LAUNCHER=$ccache_launcher"
  "-DCMAKE_CXX_COMPILER_LAUNCHER=$ccache_launcher")
