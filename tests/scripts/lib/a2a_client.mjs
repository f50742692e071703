// The @a2a-js/sdk client with a bearer token, as the scripted tests use it. Copied beside the
// test's own module into the node-clients directory (with checks.mjs).
import {
  ClientFactory, ClientFactoryOptions, DefaultAgentCardResolver, JsonRpcTransportFactory,
  RestTransportFactory,
} from '@a2a-js/sdk/client';

// A fetch that sends `token` as the bearer with every request.
export const tokenFetch = (token) => (url, init = {}) => {
  const headers = new Headers(init.headers);
  headers.set('Authorization', `Bearer ${token}`);
  return fetch(url, { ...init, headers });
};

// A client for the agent card at `endpoint` over `binding` ("HTTP+JSON" or "JSONRPC") that sends
// `token` with every request, the card's included; throws when the SDK picks another binding.
export async function sdkClient(endpoint, token, binding = 'HTTP+JSON') {
  const fetchImpl = tokenFetch(token);
  const transport = binding === 'HTTP+JSON'
    ? new RestTransportFactory({ fetchImpl })
    : new JsonRpcTransportFactory({ fetchImpl });
  const client = await new ClientFactory(ClientFactoryOptions.createFrom(ClientFactoryOptions.default, {
    transports: [transport],
    preferredTransports: [binding],
    cardResolver: new DefaultAgentCardResolver({ fetchImpl }),
  })).createFromUrl(endpoint);
  if (client.transport.protocolName !== binding) {
    throw new Error(`the SDK picked ${client.transport.protocolName} instead of ${binding}`);
  }
  return client;
}
