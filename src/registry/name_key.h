// The name key under which targets and display names are compared.
#pragma once

#include <string>
#include <string_view>

namespace tessik {

// Trimmed, ASCII lower-cased, and without a trailing " agent" (blank and "agent") when at
// least 7 characters remain before removal; trimmed again after it.
std::string target_name_key(std::string_view text);

}  // namespace tessik
