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

// Every certificate of the current user's and the local machine's "Root" stores as one PEM
// text (empty when there are none), to be trusted besides the system's roots.
std::string extra_trusted_roots_pem(const std::filesystem::path& user_root);

}  // namespace tessik::http_detail
