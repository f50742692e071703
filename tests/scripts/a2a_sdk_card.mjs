// An independent A2A client reads the gateway card through the stand-in and picks an
// interface from it. Usage: node a2a_sdk_card.mjs ENDPOINT_URL
import { ClientFactory, DefaultAgentCardResolver } from '@a2a-js/sdk/client';
import { checks } from './checks.mjs';

const endpoint = process.argv[2];
const { fail } = checks('a2a_sdk_card');

const card = await new DefaultAgentCardResolver().resolve(endpoint);
if (card.name !== 'Tessik Local A2A Gateway') fail(`unexpected card name ${card.name}`);
const interfaces = card.supportedInterfaces ?? [];
if (interfaces.length === 0) fail('the card lists no interfaces');
for (const entry of interfaces) {
  if (entry.url !== endpoint) fail(`interface url ${entry.url} is not ${endpoint}`);
}

const client = await new ClientFactory().createFromUrl(endpoint);
const picked = { protocol: client.transport.protocolName, version: client.protocolVersion };
const offered = interfaces.some(
  (entry) => entry.protocolBinding === picked.protocol && entry.protocolVersion === picked.version);
if (!offered) fail(`picked ${JSON.stringify(picked)}, which the card does not offer`);
console.log(`a2a_sdk_card: picked ${picked.protocol} ${picked.version} at ${endpoint}`);
