// Checks of the core tensors against the hyper-parameters, so that a downloaded pack can never make the model
// runner multiply mismatched shapes or use a type ggml's CPU backend has no kernel for (which ends in an abort of
// ggml's, a null function pointer or a read past a buffer rather than an error).
#pragma once

#include <cstdint>

struct model;

// True for the ggml types that the CPU backend can multiply with float activations (it has a dot product for
// them): the weight types of matrices and expert parts.
bool cpu_weight_type(int32_t type_id);

// Every present core tensor that the model runner uses must have the exact shape the hyper-parameters give and a
// type it can compute with: matrices a CPU weight type, norms, biases and attention sinks f32. The vocabulary of
// core.gguf must have as many tokens as token_embd.weight and output.weight have rows. Absent tensors are left to
// the runner, which names a missing required one when a step needs it. Throws "bad tensor " + name + " in " +
// core path + ": " + what.
void check_runner_tensors(const model& m);
