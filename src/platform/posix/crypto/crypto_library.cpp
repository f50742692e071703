// Loading libcrypto on first use and resolving the entry points data protection and the
// certificate stores need.
#include "platform/posix/crypto/crypto_library.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace tessik::platform::posix {
namespace {

#define TESSIK_STRINGIFY_VALUE(value) #value
#define TESSIK_STRINGIFY(value) TESSIK_STRINGIFY_VALUE(value)
constexpr char kLibrary[] = "libcrypto.so." TESSIK_STRINGIFY(OPENSSL_VERSION_MAJOR);

// Empty on success, else why the library is unusable.
std::string load(CryptoApi& api) {
  // Never unloaded: keys, contexts and certificates made from it may live until exit.
  void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    return std::string("could not load ") + kLibrary + ": " + (reason ? reason : "unknown error");
  }
  std::string missing;
#define TESSIK_CRYPTO_RESOLVE(name)                                          \
  api.name = reinterpret_cast<decltype(api.name)>(::dlsym(library, #name)); \
  if (api.name == nullptr && missing.empty()) missing = #name;
  TESSIK_CRYPTO_FUNCTIONS(TESSIK_CRYPTO_RESOLVE)
#undef TESSIK_CRYPTO_RESOLVE
  return missing.empty() ? std::string() : std::string(kLibrary) + " lacks " + missing;
}

}  // namespace

const CryptoApi& crypto_api() {
  static std::once_flag once;
  static CryptoApi api;
  static std::string error;
  std::call_once(once, [] { error = load(api); });
  if (!error.empty()) throw std::runtime_error(error);
  return api;
}

}  // namespace tessik::platform::posix
