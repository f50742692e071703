// The gateway front with the input as a JSON-RPC body (single calls and batches) on the root
// endpoint. The caller may read, cancel and manage push configs but not send, so that no
// delivery process is started.
#include <cstddef>
#include <cstdint>
#include <string>

#include "a2a/gateway/gateway.h"
#include "fuzz_support.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  fuzz::scratch_root();
  static const GatewayContext context = [] {
    GatewayContext made;
    made.require_auth = true;
    made.trust_broker_principal = true;
    made.principal.authenticated = true;
    made.principal.client_id = "fuzz";
    made.principal.scopes = {"task.read", "task.cancel", "agent.read", "task.push"};
    made.endpoint_url = "http://127.0.0.1:37661/a2a";
    return made;
  }();
  GatewayRequest request;
  request.method = "POST";
  request.target = (size % 2) ? "/a2a" : "/a2a/rpc";
  request.headers["Content-Type"] = "application/json";
  request.headers["A2A-Version"] = (size % 3) ? "1.0" : "0.3";
  request.body.assign(reinterpret_cast<const char*>(data), size);
  Registry registry(agents_registry_path());
  const EvidenceLog evidence(events_log_path());
  const GatewayResponse response =
      handle_a2a_request(request, context.principal, context, registry, evidence, {});
  if (response.status != 200 && response.status != 204) __builtin_trap();
  return 0;
}
