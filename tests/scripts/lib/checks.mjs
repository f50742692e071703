// Failing a scripted client: one line on stderr naming the test, then exit status 1.
// Copied beside the test's own module into the node-clients directory.

// fail(message) reports "<name>: <message>" and exits; expect(condition, message) fails unless
// the condition holds.
export function checks(name) {
  const fail = (message) => {
    console.error(`${name}: ${message}`);
    process.exit(1);
  };
  return { fail, expect: (condition, message) => condition || fail(message) };
}
