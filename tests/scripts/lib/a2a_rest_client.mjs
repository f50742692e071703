// The @a2a-js/sdk client over HTTP+JSON with a bearer token, as the scripted tests use it.
// Copied beside the test's own module into the node-clients directory.
import { ClientFactory, ClientFactoryOptions, RestTransportFactory } from '@a2a-js/sdk/client';

// A client for the gateway at `endpoint` that sends `token` with every request; throws when the
// SDK picks another transport.
export async function restClient(endpoint, token) {
  const withToken = (url, init = {}) => {
    const headers = new Headers(init.headers);
    headers.set('Authorization', `Bearer ${token}`);
    return fetch(url, { ...init, headers });
  };
  const factory = new ClientFactory(ClientFactoryOptions.createFrom(ClientFactoryOptions.default, {
    transports: [new RestTransportFactory({ fetchImpl: withToken })],
    preferredTransports: ['HTTP+JSON'],
  }));
  const client = await factory.createFromUrl(endpoint);
  if (client.transport.protocolName !== 'HTTP+JSON') {
    throw new Error(`the SDK picked ${client.transport.protocolName}`);
  }
  return client;
}
