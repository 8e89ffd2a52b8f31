// The JSON nesting guard's observable state, and a depth measure for values from untrusted sources.
//
// The guard itself has no interface: copy construction, operator== and serialisation of nlohmann::json and
// nlohmann::ordered_json are guarded wherever they happen (see common/json_guard/nlohmann/json.hpp). Copy and
// equality count the container levels in progress per thread and per value type; a container met at level 128 or
// deeper is finished, with its whole subtree, by an explicit stack on the heap. The serializer passes the depth
// along instead of counting and switches the same way. Results are exactly those of the unguarded library.
//
// All functions here read thread-local state or walk a value without recursion; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

// Container levels at which copy and equality switch to the explicit stack.
inline constexpr unsigned json_nesting_threshold = 128;

// The calling thread's counter of container copies and comparisons in progress for `json` (sorted objects) and for
// `ordered_json`. Both are 0 whenever no copy or comparison runs on the thread.
std::uint8_t json_nesting_counter_sorted();
std::uint8_t json_nesting_counter_ordered();

// How many times the calling thread has handed a container to the explicit-stack copy, equality or serializer.
std::uint64_t json_explicit_stack_entries();

// The nesting depth of a value: 0 for a scalar, 1 for an empty container or one that holds only scalars, and
// one more per level ("[[1]]" has depth 2). Computed with an explicit stack.
size_t json_nesting_depth(const nlohmann::json& value);
size_t json_nesting_depth(const nlohmann::ordered_json& value);
