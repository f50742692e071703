// Placeholder until the serving loop lands.
#include "broker/broker.h"

namespace tessik {

int run_user_broker(std::stop_token, const BrokerOptions&) {
  return 1;
}

}  // namespace tessik
