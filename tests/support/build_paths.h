// Where the build put the tessik executable and the helper programs, found from the running
// test or benchmark binary, so that no absolute build path is compiled into test code (which
// would keep every fresh build directory from reusing cached objects).
#pragma once

namespace tessik::test {

// <build>/tessik, for a binary that lives in <build>/tests or <build>/bench.
const char* tessik_binary();
// <build>/tessik-api-service, the stand-in program.
const char* tessik_api_service_binary();
// <build>/tests, where the helper programs are.
const char* tessik_helper_dir();

}  // namespace tessik::test

#define TESSIK_BINARY (::tessik::test::tessik_binary())
#define TESSIK_API_SERVICE_BINARY (::tessik::test::tessik_api_service_binary())
#define TESSIK_HELPER_DIR (::tessik::test::tessik_helper_dir())
