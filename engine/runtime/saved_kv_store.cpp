// The saved prompt KV store: prompts evaluated completely are kept as .pkv files in the pack's kv folder so that a
// later request with the same start reads their cells instead of evaluating them.
//
// Not built yet: the store is empty, admission keeps the slot's own prefix, and nothing is saved.
#include "engine/runtime/engine.h"

void engine::scan_saved_kvs() {}

int32_t engine::restore_saved_kv(generation_request&, int32_t reuse, int32_t) { return reuse; }

void engine::save_prompt_kv(generation_request&, int32_t) {}
