// The certificate stores as folders of PEM files: where a store lives and what it trusts.
#pragma once

#include <filesystem>
#include <string>

#include "platform/http_client.h"

namespace tessik::http_detail {

// "<root>/<store name>" for the location; the local machine's root is "/etc/tessik/certs"
// unless TESSIK_MACHINE_CERT_DIR names another.
std::filesystem::path certificate_store_directory(CertificateStoreLocation location,
                                                  const std::string& store_name,
                                                  const std::filesystem::path& user_root);

// The roots to trust when the current user's or the local machine's "Root" store holds any:
// the system bundle at `system_bundle` (may be null) followed by every certificate of those
// stores, as one PEM text. Empty when those stores hold none, so the system's roots apply
// unchanged.
std::string trusted_roots_pem(const std::filesystem::path& user_root, const char* system_bundle);

}  // namespace tessik::http_detail
