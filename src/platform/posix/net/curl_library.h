// libcurl loaded at run time: the executable does not link it, so only a process that makes
// an HTTP call pays for loading it (and its TLS stack).
#pragma once

#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>

#include <string>

namespace tessik::http_detail {

// The libcurl entry points the client uses. Filled once; read-only afterwards.
struct CurlApi {
  CURLcode (*global_init)(long flags) = nullptr;
  CURL* (*easy_init)() = nullptr;
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easy_perform)(CURL*) = nullptr;
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*easy_cleanup)(CURL*) = nullptr;
  const char* (*easy_strerror)(CURLcode) = nullptr;
  curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
  void (*slist_free_all)(curl_slist*) = nullptr;
  CURLU* (*url)() = nullptr;
  CURLUcode (*url_set)(CURLU*, CURLUPart, const char*, unsigned int) = nullptr;
  CURLUcode (*url_get)(const CURLU*, CURLUPart, char**, unsigned int) = nullptr;
  void (*url_cleanup)(CURLU*) = nullptr;
  void (*free)(void*) = nullptr;
};

// Opens `soname` and resolves every entry point into `api`, then initialises the library.
// False with the reason in `error`. Used once by curl_api(); separate for tests.
bool load_curl_api(const char* soname, CurlApi& api, std::string& error);

// The process's libcurl ("libcurl.so.4"), loaded at the first call; thread-safe. Null with
// the reason in `error` when the library is missing or incomplete (every later call reports
// the same reason).
const CurlApi* curl_api(std::string& error);

}  // namespace tessik::http_detail
