// Drives a running `mivra serve` (the scripted test server) with the official OpenAI client for Node.
//   node sdk_client.mjs BASE_URL SCENARIO
// Prints "ok SCENARIO" and exits 0 when every check holds; an assertion failure exits non-zero with its message.
// The answer of each request is scripted in its last message ("[[script:TEXT]]", see scripted_output.cpp).
import assert from 'node:assert/strict';
import OpenAI from 'openai';

const [baseURL, scenario] = process.argv.slice(2);
// Every response body as it came over the wire, read beside the SDK's own reading of it.
const bodies = [];
const recordingFetch = async (url, init) => {
  const response = await fetch(url, init);
  bodies.push(response.clone().arrayBuffer());
  return response;
};
const client = new OpenAI({
  baseURL: `${baseURL}/v1`, apiKey: 'not-needed', maxRetries: 0, timeout: 120_000, fetch: recordingFetch,
});
// The last response body as text; fails unless it is well-formed UTF-8.
const lastBody = async () => new TextDecoder('utf-8', { fatal: true }).decode(await bodies.at(-1));
const model = 'qwen3moe';
const user = (content) => [{ role: 'user', content }];

const weatherTool = {
  type: 'function',
  function: {
    name: 'get_weather',
    description: 'Weather of a city',
    parameters: { type: 'object', properties: { city: { type: 'string' } }, required: ['city'] },
  },
};
const toolCallText = (city) =>
  `<tool_call>\n{"name": "get_weather", "arguments": {"city": "${city}"}}\n</tool_call>`;

const scenarios = {
  async models() {
    const page = await client.models.list();
    assert.deepEqual(page.data, [{ id: model, object: 'model', owned_by: 'mivra' }]);
  },

  // A plain reply, then the same answer streamed: the deltas add up to the plain text.
  async plain_and_streamed() {
    const answer = 'Hello from mivra, caf\u00e9 \u20ac5.';
    const plain = await client.chat.completions.create({ model, messages: user(`[[script:${answer}]]`) });
    assert.equal(plain.id, 'chatcmpl-1');
    assert.equal(plain.object, 'chat.completion');
    assert.equal(plain.model, model);
    assert.equal(plain.choices[0].message.role, 'assistant');
    assert.equal(plain.choices[0].message.content, answer);
    assert.equal(plain.choices[0].finish_reason, 'stop');
    assert.equal(plain.usage.total_tokens, plain.usage.prompt_tokens + plain.usage.completion_tokens);

    const stream = await client.chat.completions.create({
      model, messages: user(`[[script:${answer}]]`), stream: true,
    });
    let text = '';
    let finish = null;
    let chunks = 0;
    for await (const chunk of stream) {
      assert.equal(chunk.id, 'chatcmpl-2');
      assert.equal(chunk.object, 'chat.completion.chunk');
      text += chunk.choices[0].delta.content ?? '';
      finish = chunk.choices[0].finish_reason ?? finish;
      chunks++;
    }
    assert.equal(text, plain.choices[0].message.content);
    assert.equal(finish, 'stop');
    assert.ok(chunks > 3, `only ${chunks} chunks`);
  },

  // The SDK's stream helper accumulates the tool-call fragments into one call with JSON arguments.
  async streamed_tool_call() {
    const stream = client.chat.completions.stream({
      model,
      messages: user(`What is the weather in Paris? [[script:${toolCallText('Paris')}]]`),
      tools: [weatherTool],
    });
    const done = [];
    stream.on('tool_calls.function.arguments.done', (event) => done.push(event));
    const final = await stream.finalChatCompletion();
    const choice = final.choices[0];
    assert.equal(choice.finish_reason, 'tool_calls');
    assert.equal(choice.message.tool_calls.length, 1);
    const call = choice.message.tool_calls[0];
    assert.equal(call.id, 'call_1_0');
    assert.equal(call.type, 'function');
    assert.equal(call.function.name, 'get_weather');
    assert.deepEqual(JSON.parse(call.function.arguments), { city: 'Paris' });
    assert.equal(done.length, 1);
    assert.equal(done[0].name, 'get_weather');

    // The conversation goes on with the tool's result.
    const next = await client.chat.completions.create({
      model,
      messages: [
        ...user('What is the weather in Paris?'),
        choice.message,
        { role: 'tool', tool_call_id: call.id, content: 'sunny, 21 C [[script:It is sunny in Paris.]]' },
      ],
      tools: [weatherTool],
    });
    assert.equal(next.choices[0].message.content, 'It is sunny in Paris.');
    assert.equal(next.choices[0].finish_reason, 'stop');
  },

  // Thinking arrives as reasoning_content deltas, the answer as content.
  async reasoning() {
    const stream = await client.chat.completions.create({
      model, messages: user('[[script:<think>\nA greeting.\n</think>\n\nHi there!]]'), stream: true,
    });
    let reasoning = '';
    let content = '';
    for await (const chunk of stream) {
      reasoning += chunk.choices[0].delta.reasoning_content ?? '';
      content += chunk.choices[0].delta.content ?? '';
    }
    assert.match(reasoning, /^A greeting\./);
    assert.equal(content, 'Hi there!');
  },

  // Output bytes that are no valid UTF-8 reach the SDK as U+FFFD, plain and streamed, in a body that is itself valid
  // UTF-8; the stream still ends with its finish reason and [DONE].
  async invalid_utf8() {
    const cases = [
      { what: 'a stray byte in the middle', script: 'Hello{byte:C3} world', text: 'Hello\uFFFD world', finish: 'stop' },
      { what: 'a character cut off by the end', script: 'caf{byte:C3}', text: 'caf\uFFFD', finish: 'stop' },
      {
        what: 'a character cut off by max_tokens', script: '{byte:E2}{byte:82}{byte:AC}', max_tokens: 2,
        text: '\uFFFD', finish: 'length',
      },
    ];
    for (const { what, script, text, finish, max_tokens } of cases) {
      const request = { model, messages: user(`[[script:${script}]]`), ...(max_tokens && { max_tokens }) };
      const plain = await client.chat.completions.create(request);
      assert.equal(plain.choices[0].message.content, text, what);
      assert.equal(plain.choices[0].finish_reason, finish, what);
      await lastBody();

      const stream = await client.chat.completions.create({ ...request, stream: true });
      let streamed = '';
      let finishReason = null;
      for await (const chunk of stream) {
        streamed += chunk.choices[0].delta.content ?? '';
        finishReason = chunk.choices[0].finish_reason ?? finishReason;
      }
      assert.equal(streamed, text, what);
      assert.equal(finishReason, finish, what);
      assert.ok((await lastBody()).endsWith('\n\ndata: [DONE]\n\n'), what);
    }
  },

  // A refused request is a BadRequestError carrying the server's message.
  async errors() {
    await assert.rejects(client.chat.completions.create({ model, messages: [] }), (err) => {
      assert.ok(err instanceof OpenAI.BadRequestError, String(err));
      assert.equal(err.status, 400);
      assert.equal(err.error?.message, 'messages is empty');
      assert.equal(err.error?.type, 'invalid_request_error');
      return true;
    });
    await assert.rejects(
      client.chat.completions.create({ model, messages: user('hi'), stream: true, mode: 'turbo' }),
      (err) => err.status === 400 && err.error?.message === 'mode must be exact, balanced or fast');
    // Refused requests took no number.
    const ok = await client.chat.completions.create({ model, messages: user('[[script:fine]]') });
    assert.equal(ok.id, 'chatcmpl-1');
  },
};

if (!scenarios[scenario]) {
  console.error(`unknown scenario ${scenario}`);
  process.exit(2);
}
await scenarios[scenario]();
console.log(`ok ${scenario}`);
