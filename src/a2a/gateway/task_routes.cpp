// The HTTP+JSON task routes: get, list and cancel over the task queries, for the version the
// request asks for.
#include <map>

#include "a2a/gateway/request_fields.h"
#include "a2a/gateway/request_gates.h"
#include "a2a/gateway/route_handlers.h"
#include "a2a/tasks/task_queries.h"

namespace tessik {
namespace {

constexpr const char* kListParameterNames[] = {
    "contextId",       "status", "pageSize", "pageToken", "historyLength", "statusTimestampAfter",
    "includeArtifacts"};

std::map<std::string, std::string> list_query(std::string_view target) {
  std::map<std::string, std::string> query;
  for (const char* name : kListParameterNames) {
    if (auto value = query_parameter(target, name)) query.emplace(name, std::move(*value));
  }
  return query;
}

}  // namespace

GatewayResponse handle_get_task(const GatewayCall& call) {
  return render_task_result_http(get_task(
      call.context, call.principal, task_id_from_path(call.paths.effective),
      query_parameter(call.request.target, "historyLength"), requested_a2a_version(call.request)));
}

GatewayResponse handle_list_tasks(const GatewayCall& call) {
  return render_task_result_http(list_tasks(call.context, call.principal,
                                            list_params_from_query(list_query(call.request.target)),
                                            requested_a2a_version(call.request)));
}

GatewayResponse handle_cancel_task(const GatewayCall& call) {
  return render_task_result_http(
      cancel_task(call.context, call.principal, task_id_from_path(call.paths.effective),
                  call.request.body, requested_a2a_version(call.request)));
}

}  // namespace tessik
