// POST "/message:send" inside a provider scope over HTTP+JSON: the create task rendered as an
// HTTP answer.
#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/responses.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/intake/create_task.h"

namespace tessik {

GatewayResponse handle_provider_create(const GatewayCall& call) {
  const CreateTaskResult result = run_create_task(call, call.request.body, *call.scoped_provider,
                                                  local_code::kSendInvalid);
  if (!result.ok())
    return make_http_error(result.error->http_status, result.error->local_code,
                           result.error->message);
  return make_json_response(200, create_result_task_document(result));
}

}  // namespace tessik
