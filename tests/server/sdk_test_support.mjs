// Shared by the SDK clients: the response bodies as they came over the wire, and the cases of model output whose
// bytes are no valid UTF-8.

// A fetch for the SDK that keeps every response body beside the SDK's own reading of it, and `lastBody`: the last
// body as text, failing unless it is well-formed UTF-8.
export function recordBodies() {
  const bodies = [];
  return {
    fetch: async (url, init) => {
      const response = await fetch(url, init);
      const body = response.clone().arrayBuffer();
      // When the SDK aborts a stream it stopped reading (after an error event), this copy is aborted too; it is
      // then never read, and its rejection must not end the process.
      body.catch(() => {});
      bodies.push(body);
      return response;
    },
    lastBody: async () => new TextDecoder('utf-8', { fatal: true }).decode(await bodies.at(-1)),
  };
}

// Scripted output and the text a client must see; a case with max_tokens is ended by that limit, not by the script.
export const invalidUtf8Cases = [
  { what: 'a stray byte in the middle', script: 'Hello{byte:C3} world', text: 'Hello\uFFFD world' },
  { what: 'a character cut off by the end', script: 'caf{byte:C3}', text: 'caf\uFFFD' },
  { what: 'a character cut off by max_tokens', script: '{byte:E2}{byte:82}{byte:AC}', max_tokens: 2, text: '\uFFFD' },
];
