#include "http/curl_api_posix.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace nuvo {
namespace {

const CurlApi* loaded = nullptr;

template <class F>
bool find(void* library, const char* name, F& out) {
  out = reinterpret_cast<F>(dlsym(library, name));
  return out != nullptr;
}

const CurlApi* load() {
  // Never closed: the process keeps libcurl from the first use to its end.
  void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return nullptr;
  static CurlApi api{};
  const bool ok = find(lib, "curl_global_init", api.global_init) &&
                  find(lib, "curl_easy_init", api.easy_init) &&
                  find(lib, "curl_easy_cleanup", api.easy_cleanup) &&
                  find(lib, "curl_easy_reset", api.easy_reset) &&
                  find(lib, "curl_easy_setopt", api.easy_setopt) &&
                  find(lib, "curl_easy_getinfo", api.easy_getinfo) &&
                  find(lib, "curl_easy_strerror", api.easy_strerror) &&
                  find(lib, "curl_multi_init", api.multi_init) &&
                  find(lib, "curl_multi_cleanup", api.multi_cleanup) &&
                  find(lib, "curl_multi_add_handle", api.multi_add_handle) &&
                  find(lib, "curl_multi_remove_handle", api.multi_remove_handle) &&
                  find(lib, "curl_multi_perform", api.multi_perform) &&
                  find(lib, "curl_multi_poll", api.multi_poll) &&
                  find(lib, "curl_multi_wakeup", api.multi_wakeup) &&
                  find(lib, "curl_multi_info_read", api.multi_info_read) &&
                  find(lib, "curl_version_info", api.version_info) &&
                  find(lib, "curl_slist_append", api.slist_append) &&
                  find(lib, "curl_slist_free_all", api.slist_free_all) &&
                  find(lib, "curl_strequal", api.strequal);
  return ok ? &api : nullptr;
}

}  // namespace

const CurlApi* load_curl() {
  static std::once_flag once;
  std::call_once(once, [] { loaded = load(); });
  return loaded;
}

const CurlApi& curl_api() {
  if (loaded == nullptr) std::abort();  // a transport exists only after load_curl()
  return *loaded;
}

}  // namespace nuvo
