// libcurl, loaded when the first transport is made rather than with the
// program: curl and its many libraries cost several MiB of memory that
// nuvo-release sign and publish, which never touch the network, do not pay.
#pragma once

#include <curl/curl.h>

namespace nuvo {

struct CurlApi {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_easy_reset) easy_reset;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_multi_init) multi_init;
  decltype(&curl_multi_cleanup) multi_cleanup;
  decltype(&curl_multi_add_handle) multi_add_handle;
  decltype(&curl_multi_remove_handle) multi_remove_handle;
  decltype(&curl_multi_perform) multi_perform;
  decltype(&curl_multi_poll) multi_poll;
  decltype(&curl_multi_wakeup) multi_wakeup;
  decltype(&curl_multi_info_read) multi_info_read;
  decltype(&curl_version_info) version_info;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
  decltype(&curl_strequal) strequal;
};

// Loads libcurl.so.4 once; null when it or one of its functions is missing.
const CurlApi* load_curl();

// After load_curl() succeeded.
const CurlApi& curl_api();

}  // namespace nuvo
