// Random ids: the one generator every task, message and temporary-name id comes from.
#pragma once

#include <string>

namespace tessik {

// 32 lower-case hex digits from two 64-bit draws of this thread's MT19937-64, seeded once per
// thread from the OS random source. Thread-safe (one generator per thread).
std::string random_hex_token();

}  // namespace tessik
