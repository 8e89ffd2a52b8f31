// The document extraction script: a Python 3 program (agent/extract_document.py) built into this program as text,
// so that it always matches the code that runs it. Document extraction writes it to the app data folder's tmp
// folder and runs it with /usr/bin/python3.
#pragma once

#include <string_view>

// The script's text, UTF-8 with line-feed line ends. Safe from any thread.
std::string_view extraction_script();
