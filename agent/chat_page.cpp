#include "agent/chat_page.h"

// A minimal page until the built-in chat page is built: it carries the token placeholder like the real one.
const char chat_page[] = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="mivra-token" content="{{MIVRA_TOKEN}}">
<title>Mivra</title>
</head>
<body>
<p>Mivra is running. The API is at /v1/chat/completions (OpenAI) and /v1/messages (Anthropic).</p>
</body>
</html>
)html";
