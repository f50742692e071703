// POST "/message:send" over HTTP+JSON: the shared send decision rendered as an HTTP answer.
#include "a2a/gateway/errors.h"
#include "a2a/gateway/responses.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/intake/send_intake.h"

namespace tessik {

GatewayResponse handle_send_message(const GatewayCall& call) {
  const SendMessageResult result =
      run_send_message(call, call.request.body, SendBinding::http_json);
  if (!result.ok())
    return make_http_error(result.error->http_status, result.error->local_code,
                           result.error->message);
  return make_json_response(200, send_result_task_document(result));
}

}  // namespace tessik
