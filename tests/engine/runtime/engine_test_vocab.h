// The real qwen2 vocabulary of the pinned llama.cpp tree (vocabulary only, no weights) and its chat templates, for
// tests of the chat and generation layers that need real tokens but no model.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "chat.h"
#include "llama.h"

struct test_vocab {
    llama_model* model = nullptr;
    const llama_vocab* vocab = nullptr;

    test_vocab() {
        llama_backend_init();
        llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
        llama_model_params p = llama_model_default_params();
        p.vocab_only = true;
        model = llama_model_load_from_file(MIVRA_LLAMA_MODELS_DIR "/ggml-vocab-qwen2.gguf", p);
        if (!model) throw std::runtime_error("cannot load the qwen2 test vocabulary");
        vocab = llama_model_get_vocab(model);
    }
    ~test_vocab() { llama_model_free(model); }
    test_vocab(const test_vocab&) = delete;
    test_vocab& operator=(const test_vocab&) = delete;

    // The template set of one of the pinned tree's template files (e.g. "Qwen-Qwen3-0.6B.jinja").
    common_chat_templates_ptr templates(const std::string& file) const {
        std::ifstream in(std::string(MIVRA_LLAMA_MODELS_DIR "/templates/") + file);
        if (!in) throw std::runtime_error("missing template " + file);
        std::stringstream text;
        text << in.rdbuf();
        return common_chat_templates_init(model, text.str());
    }
};
