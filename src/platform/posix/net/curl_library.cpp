// Loading libcurl on first use and resolving the entry points the HTTP client needs.
#include "platform/posix/net/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace tessik::http_detail {
namespace {

template <typename Function>
bool resolve(void* library, const char* name, Function& function, std::string& error) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    error = std::string("libcurl lacks ") + name;
    return false;
  }
  function = reinterpret_cast<Function>(symbol);
  return true;
}

bool resolve_all(void* library, CurlApi& api, std::string& error) {
  return resolve(library, "curl_global_init", api.global_init, error) &&
         resolve(library, "curl_easy_init", api.easy_init, error) &&
         resolve(library, "curl_easy_setopt", api.easy_setopt, error) &&
         resolve(library, "curl_easy_perform", api.easy_perform, error) &&
         resolve(library, "curl_easy_getinfo", api.easy_getinfo, error) &&
         resolve(library, "curl_easy_cleanup", api.easy_cleanup, error) &&
         resolve(library, "curl_easy_strerror", api.easy_strerror, error) &&
         resolve(library, "curl_slist_append", api.slist_append, error) &&
         resolve(library, "curl_slist_free_all", api.slist_free_all, error) &&
         resolve(library, "curl_url", api.url, error) &&
         resolve(library, "curl_url_set", api.url_set, error) &&
         resolve(library, "curl_url_get", api.url_get, error) &&
         resolve(library, "curl_url_cleanup", api.url_cleanup, error) &&
         resolve(library, "curl_free", api.free, error);
}

}  // namespace

bool load_curl_api(const char* soname, CurlApi& api, std::string& error) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = std::string("could not load ") + soname + ": " + (reason ? reason : "unknown error");
    return false;
  }
  // The library stays loaded for the life of the process: handles made from it may still be
  // in use on other threads, and unloading a TLS stack is not safe anyway.
  if (!resolve_all(library, api, error)) return false;
  if (const CURLcode code = api.global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
    error = "curl_global_init failed: " + std::to_string(static_cast<int>(code));
    return false;
  }
  return true;
}

const CurlApi* curl_api(std::string& error) {
  static std::once_flag once;
  static CurlApi api;
  static std::string load_error;
  static bool loaded = false;
  std::call_once(once, [] { loaded = load_curl_api("libcurl.so.4", api, load_error); });
  if (!loaded) {
    error = load_error;
    return nullptr;
  }
  return &api;
}

}  // namespace tessik::http_detail
