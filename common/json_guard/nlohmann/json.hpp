// The JSON library as every part of mivra sees it: the pinned nlohmann json, plus the nesting guard on the copy
// constructor, operator== and the serializer of both value types (json and ordered_json).
//
// This folder comes first on the include path of everything that uses the JSON library (common/CMakeLists.txt
// arranges that), so `#include <nlohmann/json.hpp>` always lands here. The declarations below are explicit
// specializations of those three members; their definitions live in json_nesting_guard.cpp (library
// mivra_json_guard). They give the library's exact results but never recurse more than 128 container levels deep:
// deeper values are finished with an explicit stack on the heap. Every translation unit must see these declarations
// before it copies, compares or writes a value, which is why they sit in the header itself.
#pragma once

#include_next <nlohmann/json.hpp>

#define MIVRA_JSON_NESTING_GUARD 1

#if !(defined(__cpp_impl_three_way_comparison) && __cpp_impl_three_way_comparison >= 201907L && \
      defined(__cpp_lib_three_way_comparison) && __cpp_lib_three_way_comparison >= 201907L)
#error "mivra builds as C++20: the JSON nesting guard specializes the member operator== of that mode"
#endif
#if (defined(JSON_DIAGNOSTICS) && JSON_DIAGNOSTICS) || (defined(JSON_DIAGNOSTIC_POSITIONS) && JSON_DIAGNOSTIC_POSITIONS)
#error "the JSON nesting guard is written for JSON_DIAGNOSTICS=0 and JSON_DIAGNOSTIC_POSITIONS=0"
#endif

NLOHMANN_JSON_NAMESPACE_BEGIN

template <> basic_json<>::basic_json(const basic_json& other);
template <> basic_json<ordered_map>::basic_json(const basic_json& other);

template <> bool basic_json<>::operator==(const basic_json& rhs) const noexcept;
template <> bool basic_json<ordered_map>::operator==(const basic_json& rhs) const noexcept;

namespace detail {
template <>
void serializer<basic_json<>>::dump(const basic_json<>& val, const bool pretty_print, const bool ensure_ascii,
                                    const unsigned int indent_step, const unsigned int current_indent);
template <>
void serializer<basic_json<ordered_map>>::dump(const basic_json<ordered_map>& val, const bool pretty_print,
                                               const bool ensure_ascii, const unsigned int indent_step,
                                               const unsigned int current_indent);
} // namespace detail

NLOHMANN_JSON_NAMESPACE_END

// Every translation unit that includes this header refers to this symbol, so the object file that holds the
// guarded definitions is always linked in (a static archive member is pulled only by an undefined reference, and
// the llama-common shared library would otherwise satisfy some of them with its unguarded copies).
extern "C" const char mivra_json_nesting_guard_linked;
[[gnu::used]] static const char* const mivra_json_nesting_guard_reference = &mivra_json_nesting_guard_linked;
