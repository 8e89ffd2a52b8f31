// Drives a running `mivra serve` (the scripted test server) with the official Anthropic client for Node.
//   node anthropic_sdk_client.mjs BASE_URL SCENARIO
// Prints "ok SCENARIO" and exits 0 when every check holds; an assertion failure exits non-zero with its message.
// The answer of each request is scripted in its last message ("[[script:TEXT]]", see scripted_output.cpp).
import assert from 'node:assert/strict';
import Anthropic from '@anthropic-ai/sdk';

const [baseURL, scenario] = process.argv.slice(2);
// Every response body as it came over the wire, read beside the SDK's own reading of it.
const bodies = [];
const recordingFetch = async (url, init) => {
  const response = await fetch(url, init);
  bodies.push(response.clone().arrayBuffer());
  return response;
};
const client = new Anthropic({ baseURL, apiKey: 'not-needed', maxRetries: 0, timeout: 120_000, fetch: recordingFetch });
// The last response body as text; fails unless it is well-formed UTF-8.
const lastBody = async () => new TextDecoder('utf-8', { fatal: true }).decode(await bodies.at(-1));
const model = 'claude-mivra-test';

const weatherTool = {
  name: 'get_weather',
  description: 'Weather of a city',
  input_schema: { type: 'object', properties: { city: { type: 'string' } }, required: ['city'] },
};
const question = 'What is the weather in Paris?';
const scripted =
  '[[script:<think>\nThe user wants the weather.\n</think>\n\nLet me look that up.\n<tool_call>\n' +
  '{"name": "get_weather", "arguments": {"city": "Paris", "days": [1, 2]}}\n</tool_call>]]';
const request = {
  model,
  max_tokens: 300,
  system: 'You answer questions about the weather.',
  messages: [{ role: 'user', content: `${question} ${scripted}` }],
  tools: [weatherTool],
};

// A reply as plain data, with the parts that differ between two requests (the message and tool ids, which carry
// the request number) and the signature that a streamed thinking block does not have, set aside.
function comparable(message) {
  const content = message.content.map((block) => {
    const { ...copy } = block;
    if (copy.type === 'tool_use') copy.id = copy.id.replace(/^toolu_\d+_/, 'toolu_N_');
    if (copy.type === 'thinking') delete copy.signature;
    return copy;
  });
  return {
    type: message.type,
    role: message.role,
    model: message.model,
    content,
    stop_reason: message.stop_reason,
    stop_sequence: message.stop_sequence,
    usage: { input_tokens: message.usage.input_tokens, output_tokens: message.usage.output_tokens },
  };
}

const scenarios = {
  // messages.create and messages.stream().finalMessage() give the same reply: thinking, text and a tool call.
  async create_and_stream() {
    const plain = await client.messages.create(request);
    assert.equal(plain.id, 'msg_1');
    assert.deepEqual(
      plain.content.map((b) => b.type),
      ['thinking', 'text', 'tool_use'],
    );
    assert.equal(plain.content[0].thinking, 'The user wants the weather.\n');
    assert.equal(plain.content[0].signature, '');
    assert.equal(plain.content[1].text, 'Let me look that up.\n');
    assert.deepEqual(plain.content[2], {
      type: 'tool_use', id: 'toolu_1_0', name: 'get_weather', input: { city: 'Paris', days: [1, 2] },
    });
    assert.equal(plain.stop_reason, 'tool_use');
    assert.equal(plain.model, model);

    const stream = client.messages.stream(request);
    const events = [];
    let json = '';
    stream.on('streamEvent', (event) => events.push(event.type));
    stream.on('inputJson', (partial) => { json += partial; });
    const streamed = await stream.finalMessage();
    assert.equal(streamed.id, 'msg_2');
    assert.deepEqual(comparable(streamed), comparable(plain));
    assert.deepEqual(JSON.parse(json), { city: 'Paris', days: [1, 2] });
    assert.equal(events[0], 'message_start');
    assert.equal(events.at(-1), 'message_stop');
    assert.equal(events.filter((e) => e === 'content_block_start').length, 3);

    // The conversation goes on with the tool's result, the assistant turn sent back as the client got it.
    const next = await client.messages.create({
      ...request,
      messages: [
        { role: 'user', content: question },
        { role: 'assistant', content: streamed.content },
        {
          role: 'user',
          content: [
            { type: 'tool_result', tool_use_id: streamed.content[2].id, content: 'sunny, 21 C' },
            { type: 'text', text: '[[script:It is sunny in Paris.]]' },
          ],
        },
      ],
    });
    assert.deepEqual(next.content, [{ type: 'text', text: 'It is sunny in Paris.' }]);
    assert.equal(next.stop_reason, 'end_turn');
  },

  // countTokens gives the prompt size that a reply to the same messages reports.
  async count_tokens() {
    const body = {
      system: request.system,
      messages: [{ role: 'user', content: `${question} [[script:Sunny.]]` }],
      tools: request.tools,
    };
    const counted = await client.messages.countTokens({ model, ...body });
    const reply = await client.messages.create({ model, max_tokens: 20, ...body });
    assert.equal(reply.content[0].text, 'Sunny.');
    assert.equal(counted.input_tokens, reply.usage.input_tokens);
    assert.ok(counted.input_tokens > 20, String(counted.input_tokens));
  },

  // Output bytes that are no valid UTF-8 reach the SDK as U+FFFD, plain and streamed, in a body that is itself valid
  // UTF-8; the stream still ends with message_delta (the stop reason) and message_stop.
  async invalid_utf8() {
    const cases = [
      { what: 'a stray byte in the middle', script: 'Hello{byte:C3} world', text: 'Hello\uFFFD world', stop: 'end_turn' },
      { what: 'a character cut off by the end', script: 'caf{byte:C3}', text: 'caf\uFFFD', stop: 'end_turn' },
      {
        what: 'a character cut off by max_tokens', script: '{byte:E2}{byte:82}{byte:AC}', max_tokens: 2,
        text: '\uFFFD', stop: 'max_tokens',
      },
    ];
    for (const { what, script, text, stop, max_tokens = 100 } of cases) {
      const request = { model, max_tokens, messages: [{ role: 'user', content: `[[script:${script}]]` }] };
      const plain = await client.messages.create(request);
      assert.deepEqual(plain.content, [{ type: 'text', text }], what);
      assert.equal(plain.stop_reason, stop, what);
      await lastBody();

      const stream = client.messages.stream(request);
      const events = [];
      let deltas = '';
      stream.on('streamEvent', (event) => events.push(event.type));
      stream.on('text', (delta) => { deltas += delta; });
      const streamed = await stream.finalMessage();
      assert.equal(deltas, text, what);
      assert.deepEqual(streamed.content, [{ type: 'text', text }], what);
      assert.equal(streamed.stop_reason, stop, what);
      assert.deepEqual(events.slice(-3), ['content_block_stop', 'message_delta', 'message_stop'], what);
      assert.match(await lastBody(), /\nevent: message_stop\ndata: [^\n]*\n\n$/, what);
    }
  },

  // A refused request is a BadRequestError; output that cannot be parsed mid-stream rejects the stream's promise
  // with the SDK's APIError carrying the server's error body.
  async errors() {
    await assert.rejects(client.messages.create({ model, max_tokens: 10, messages: [] }), (err) => {
      assert.ok(err instanceof Anthropic.BadRequestError, String(err));
      assert.equal(err.status, 400);
      assert.equal(err.error?.type, 'error');
      assert.equal(err.error?.error?.type, 'invalid_request_error');
      assert.equal(err.error?.error?.message, 'messages is empty');
      return true;
    });

    const broken = client.messages.stream({
      model,
      max_tokens: 100,
      messages: [{ role: 'user', content: '[[script:<tool_call>\n{"name": "get_weather", oops}\n</tool_call>]]' }],
      tools: [weatherTool],
    });
    let started = false;
    broken.on('streamEvent', (event) => { if (event.type === 'message_start') started = true; });
    await assert.rejects(broken.finalMessage(), (err) => {
      assert.ok(err instanceof Anthropic.APIError, String(err));
      assert.equal(err.error?.error?.type, 'invalid_request_error');
      assert.ok(err.error?.error?.message, JSON.stringify(err.error));
      return true;
    });
    assert.ok(started, 'the error came before the stream started');
  },
};

if (!scenarios[scenario]) {
  console.error(`unknown scenario ${scenario}`);
  process.exit(2);
}
await scenarios[scenario]();
console.log(`ok ${scenario}`);
