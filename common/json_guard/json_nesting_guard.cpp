// Definitions of the guarded copy constructor, operator== and serializer step of both JSON value types.
//
// Below 128 container levels each operation works as the library does, recursively (the container copies and
// comparisons of the standard library call back into these guarded members for every element). From level 128
// on, a whole subtree is handled by a loop over an explicit stack. Copy and equality find their level in a
// thread-local counter per value type; the serializer passes the depth down as an argument.
#include <nlohmann/json.hpp>

#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/json_nesting_guard.h"

extern "C" const char mivra_json_nesting_guard_linked = 1;

extern "C" const char mivra_json_equal_abi_linked;
[[gnu::used]] static const char* const equal_abi_reference = &mivra_json_equal_abi_linked;

namespace {

using value_t = nlohmann::detail::value_t;
using nlohmann::json;
using nlohmann::ordered_json;

thread_local std::uint8_t nesting_sorted = 0;
thread_local std::uint8_t nesting_ordered = 0;
thread_local std::uint64_t explicit_stack_entries = 0;

template <class J> std::uint8_t& nesting_counter() {
    if constexpr (std::is_same_v<J, json>) {
        return nesting_sorted;
    } else {
        return nesting_ordered;
    }
}

// Lowers a nesting counter on every way out of a container copy or comparison, exceptions included.
struct json_nesting_guard {
    std::uint8_t& counter;
    ~json_nesting_guard() { --counter; }
};

template <class J> bool is_container(const J& v) { return v.is_object() || v.is_array(); }

// ---------------------------------------------------------------------------------------------------------- copy

// Gives `dst` (a null value) a copy of the scalar `src`. Never recurses.
template <class J> void copy_scalar(J& dst, const J& src) {
    switch (src.type()) {
        case value_t::string: dst = J(src.template get_ref<const typename J::string_t&>()); break;
        case value_t::boolean: dst = J(src.template get<bool>()); break;
        case value_t::number_integer: dst = J(*src.template get_ptr<const typename J::number_integer_t*>()); break;
        case value_t::number_unsigned: dst = J(*src.template get_ptr<const typename J::number_unsigned_t*>()); break;
        case value_t::number_float: dst = J(*src.template get_ptr<const typename J::number_float_t*>()); break;
        case value_t::binary: dst = J(src.get_binary()); break;
        case value_t::discarded: dst = J(value_t::discarded); break;
        case value_t::null:
        case value_t::object:
        case value_t::array:
        default: break;
    }
}

// Gives `dst` (a null value) a container of src's kind whose scalar members are copied and whose container members
// are null slots; pushes (source member, destination slot) for each of those. Slots are all created before any
// pointer to one is taken, and never move afterwards.
template <class J> void copy_shell(J& dst, const J& src, std::vector<std::pair<const J*, J*>>& stack) {
    if (src.is_array()) {
        const auto& in = src.template get_ref<const typename J::array_t&>();
        J made(value_t::array);
        made.template get_ref<typename J::array_t&>().resize(in.size());
        dst = std::move(made); // moves the pointer to the element vector, so the elements stay where they are
        auto& out = dst.template get_ref<typename J::array_t&>();
        for (size_t i = 0; i < in.size(); ++i) {
            if (is_container(in[i])) {
                stack.emplace_back(&in[i], &out[i]);
            } else {
                copy_scalar(out[i], in[i]);
            }
        }
        return;
    }
    using object_t = typename J::object_t;
    const auto& in = src.template get_ref<const object_t&>();
    J made(value_t::object);
    auto& keys = made.template get_ref<object_t&>();
    if constexpr (requires(object_t& o) { o.reserve(size_t{}); }) {
        keys.reserve(in.size()); // ordered_map: a vector of members in insertion order
        for (const auto& member : in) keys.emplace_back(member.first, nullptr);
    } else {
        for (const auto& member : in) keys.emplace_hint(keys.end(), member.first, nullptr);
    }
    dst = std::move(made);
    auto& out = dst.template get_ref<object_t&>();
    auto to = out.begin();
    for (auto from = in.begin(); from != in.end(); ++from, ++to) {
        if (is_container(from->second)) {
            stack.emplace_back(&from->second, &to->second);
        } else {
            copy_scalar(to->second, from->second);
        }
    }
}

template <class J> void copy_iterative(J& dst, const J& src) {
    ++explicit_stack_entries;
    std::vector<std::pair<const J*, J*>> stack;
    copy_shell(dst, src, stack);
    while (!stack.empty()) {
        const auto [from, to] = stack.back();
        stack.pop_back();
        copy_shell(*to, *from, stack);
    }
}

template <class J> void guarded_copy(J& self, const J& other) {
    if (!is_container(other)) {
        copy_scalar(self, other);
        return;
    }
    std::uint8_t& counter = nesting_counter<J>();
    const unsigned level = counter++;
    json_nesting_guard guard{counter};
    if (level < json_nesting_threshold) {
        // The library's own container copy; every element comes back through the guarded constructor.
        if (other.is_array()) {
            self = J(other.template get_ref<const typename J::array_t&>());
        } else {
            self = J(other.template get_ref<const typename J::object_t&>());
        }
    } else {
        copy_iterative(self, other);
    }
}

// ------------------------------------------------------------------------------------------------------ equality

// The library's equality for a pair that is not two containers of the same kind. Never recurses.
template <class J> bool scalar_equal(const J& a, const J& b) {
    using int_t = typename J::number_integer_t;
    using uint_t = typename J::number_unsigned_t;
    using float_t = typename J::number_float_t;
    const value_t ta = a.type(), tb = b.type();
    auto i = [](const J& v) { return *v.template get_ptr<const int_t*>(); };
    auto u = [](const J& v) { return *v.template get_ptr<const uint_t*>(); };
    auto f = [](const J& v) { return *v.template get_ptr<const float_t*>(); };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfloat-equal"
    if (ta == tb) {
        switch (ta) {
            case value_t::null: return true;
            case value_t::string:
                return a.template get_ref<const typename J::string_t&>() ==
                       b.template get_ref<const typename J::string_t&>();
            case value_t::boolean: return a.template get<bool>() == b.template get<bool>();
            case value_t::number_integer: return i(a) == i(b);
            case value_t::number_unsigned: return u(a) == u(b);
            case value_t::number_float: return f(a) == f(b);
            case value_t::binary: return a.get_binary() == b.get_binary();
            case value_t::object:
            case value_t::array:
            case value_t::discarded:
            default: return false;
        }
    }
    if (ta == value_t::number_integer && tb == value_t::number_float) return static_cast<float_t>(i(a)) == f(b);
    if (ta == value_t::number_float && tb == value_t::number_integer) return f(a) == static_cast<float_t>(i(b));
    if (ta == value_t::number_unsigned && tb == value_t::number_float) return static_cast<float_t>(u(a)) == f(b);
    if (ta == value_t::number_float && tb == value_t::number_unsigned) return f(a) == static_cast<float_t>(u(b));
    if (ta == value_t::number_unsigned && tb == value_t::number_integer) return static_cast<int_t>(u(a)) == i(b);
    if (ta == value_t::number_integer && tb == value_t::number_unsigned) return i(a) == static_cast<int_t>(u(b));
#pragma GCC diagnostic pop
    return false;
}

template <class J> bool equal_iterative(const J& a, const J& b) {
    ++explicit_stack_entries;
    struct frame {
        const J* a;
        const J* b;
        typename J::const_iterator ia, ib;
    };
    std::vector<frame> stack;
    // Pushes a pair of containers of one kind; compares anything else at once. False means unequal.
    auto visit = [&stack](const J& x, const J& y) {
        if (x.type() == y.type() && is_container(x)) {
            stack.push_back(frame{&x, &y, x.cbegin(), y.cbegin()});
            return true;
        }
        return scalar_equal(x, y);
    };
    if (!visit(a, b)) return false;
    while (!stack.empty()) {
        frame& top = stack.back();
        const bool end_a = top.ia == top.a->cend(), end_b = top.ib == top.b->cend();
        if (end_a && end_b) {
            stack.pop_back();
            continue;
        }
        if (end_a != end_b) return false;
        if (top.a->is_object() && top.ia.key() != top.ib.key()) return false;
        const J& x = *top.ia;
        const J& y = *top.ib;
        ++top.ia;
        ++top.ib;
        if (!visit(x, y)) return false; // may push: `top` is not used past this point
    }
    return true;
}

template <class J> bool guarded_equal(const J& a, const J& b) {
    if (a.type() != b.type() || !is_container(a)) return scalar_equal(a, b);
    std::uint8_t& counter = nesting_counter<J>();
    if (counter >= json_nesting_threshold) return equal_iterative(a, b);
    ++counter;
    json_nesting_guard guard{counter};
    // The standard containers compare sizes, then members in order (keys, then values through this operator).
    if (a.is_array()) {
        return a.template get_ref<const typename J::array_t&>() == b.template get_ref<const typename J::array_t&>();
    }
    return a.template get_ref<const typename J::object_t&>() == b.template get_ref<const typename J::object_t&>();
}

// ------------------------------------------------------------------------------------------------- serialisation

// Writes the brackets, separators, keys and indentation of a value; scalars go to `scalar`, which writes them as the
// library does. Containers at depth 128 or more are written with an explicit stack, byte for byte the same text.
template <class J, class Raw, class Key, class Scalar, class Integer> struct dump_walker {
    Raw raw;                    // raw(const char*, size_t)
    Key key;                    // key(const string_t&): the quoted, escaped key
    Scalar scalar;              // scalar(const J&): a string, number, boolean, null or discarded value
    Integer integer;            // integer(n): a number as the library writes integers
    std::string& indent_string; // the serializer's run of indentation characters
    bool pretty;
    unsigned step;

    void text(const char* s) { raw(s, std::char_traits<char>::length(s)); }

    void indent(unsigned n) {
        // Grown as the library grows it (doubling, with spaces), but never left shorter than asked for.
        while (indent_string.size() < n) indent_string.resize(std::max<size_t>(1, indent_string.size() * 2), ' ');
        raw(indent_string.c_str(), n);
    }

    void leaf(const J& v, unsigned current) {
        if (v.is_binary()) return binary(v.get_binary(), current);
        scalar(v);
    }

    // A binary value as the library writes it: an object of its bytes and its subtype.
    void binary(const typename J::binary_t& bytes, unsigned current) {
        const unsigned inner = current + step;
        if (pretty) {
            text("{\n");
            indent(inner);
            text("\"bytes\": [");
        } else {
            text("{\"bytes\":[");
        }
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (i > 0) text(pretty ? ", " : ",");
            integer(bytes[i]);
        }
        if (pretty) {
            text("],\n");
            indent(inner);
            text("\"subtype\": ");
        } else {
            text("],\"subtype\":");
        }
        if (bytes.has_subtype()) {
            integer(bytes.subtype());
        } else {
            text("null");
        }
        if (pretty) {
            text("\n");
            indent(current);
        }
        text("}");
    }

    void write(const J& v, unsigned current, unsigned depth) {
        if (!is_container(v)) return leaf(v, current);
        if (depth >= json_nesting_threshold) return write_iterative(v, current);
        const bool object = v.is_object();
        if (v.empty()) return text(object ? "{}" : "[]");
        const unsigned inner = pretty ? current + step : current;
        text(object ? (pretty ? "{\n" : "{") : (pretty ? "[\n" : "["));
        for (auto it = v.cbegin(); it != v.cend(); ++it) {
            if (it != v.cbegin()) text(pretty ? ",\n" : ",");
            member(it, inner, object);
            write(*it, inner, depth + 1);
        }
        close(current, object);
    }

    void member(const typename J::const_iterator& it, unsigned inner, bool object) {
        if (pretty) indent(inner);
        if (object) {
            key(it.key());
            text(pretty ? ": " : ":");
        }
    }

    void close(unsigned current, bool object) {
        if (pretty) {
            text("\n");
            indent(current);
        }
        text(object ? "}" : "]");
    }

    void write_iterative(const J& root, unsigned current) {
        ++explicit_stack_entries;
        struct frame {
            const J* container;
            typename J::const_iterator it;
            unsigned own;   // indentation of the container's own line
            unsigned inner; // indentation of its members
        };
        std::vector<frame> stack;
        auto open = [&](const J& v, unsigned own) {
            if (!is_container(v)) return leaf(v, own);
            const bool object = v.is_object();
            if (v.empty()) return text(object ? "{}" : "[]");
            text(object ? (pretty ? "{\n" : "{") : (pretty ? "[\n" : "["));
            stack.push_back(frame{&v, v.cbegin(), own, pretty ? own + step : own});
        };
        open(root, current);
        while (!stack.empty()) {
            frame& top = stack.back();
            const bool object = top.container->is_object();
            if (top.it == top.container->cend()) {
                close(top.own, object);
                stack.pop_back();
                continue;
            }
            if (top.it != top.container->cbegin()) text(pretty ? ",\n" : ",");
            member(top.it, top.inner, object);
            const J& child = *top.it;
            const unsigned inner = top.inner;
            ++top.it;
            open(child, inner); // may push: `top` is not used past this point
        }
    }
};

template <class J, class Raw, class Key, class Scalar, class Integer>
dump_walker<J, Raw, Key, Scalar, Integer> make_walker(Raw raw, Key key, Scalar scalar, Integer integer,
                                                      std::string& indent_string, bool pretty, unsigned step) {
    return {raw, key, scalar, integer, indent_string, pretty, step};
}

template <class J> size_t nesting_depth(const J& root) {
    if (!is_container(root)) return 0;
    std::vector<std::pair<const J*, size_t>> stack{{&root, 1}};
    size_t deepest = 0;
    while (!stack.empty()) {
        const auto [v, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        for (const auto& child : *v) {
            if (is_container(child)) stack.emplace_back(&child, depth + 1);
        }
    }
    return deepest;
}

} // namespace

std::uint8_t json_nesting_counter_sorted() { return nesting_sorted; }
std::uint8_t json_nesting_counter_ordered() { return nesting_ordered; }
std::uint64_t json_explicit_stack_entries() { return explicit_stack_entries; }
size_t json_nesting_depth(const json& value) { return nesting_depth(value); }
size_t json_nesting_depth(const ordered_json& value) { return nesting_depth(value); }

NLOHMANN_JSON_NAMESPACE_BEGIN

template <> basic_json<>::basic_json(const basic_json& other) : json_base_class_t(other) {
    guarded_copy(*this, other);
}

template <> basic_json<ordered_map>::basic_json(const basic_json& other) : json_base_class_t(other) {
    guarded_copy(*this, other);
}

template <> bool basic_json<>::operator==(const basic_json& rhs) const noexcept { return guarded_equal(*this, rhs); }

template <> bool basic_json<ordered_map>::operator==(const basic_json& rhs) const noexcept {
    return guarded_equal(*this, rhs);
}

namespace detail {

// The serializer's step for one value type. Scalars are written here, where the serializer's private helpers are
// reachable, exactly as the library writes them; the structure is written by dump_walker.
#define MIVRA_GUARDED_SERIALIZER_DUMP(J)                                                                            \
    template <>                                                                                                     \
    void serializer<J>::dump(const J& val, const bool pretty_print, const bool ensure_ascii,                        \
                             const unsigned int indent_step, const unsigned int current_indent) {                   \
        auto raw = [this](const char* s, std::size_t n) { o->write_characters(s, n); };                             \
        auto key = [this, ensure_ascii](const J::string_t& k) {                                                     \
            o->write_character('"');                                                                                \
            dump_escaped(k, ensure_ascii);                                                                          \
            o->write_character('"');                                                                                \
        };                                                                                                          \
        auto integer = [this](auto n) { dump_integer(n); };                                                         \
        auto scalar = [this, ensure_ascii](const J& v) {                                                            \
            switch (v.m_data.m_type) {                                                                              \
                case value_t::string:                                                                               \
                    o->write_character('"');                                                                        \
                    dump_escaped(*v.m_data.m_value.string, ensure_ascii);                                           \
                    o->write_character('"');                                                                        \
                    return;                                                                                         \
                case value_t::boolean:                                                                              \
                    if (v.m_data.m_value.boolean) o->write_characters("true", 4);                                   \
                    else o->write_characters("false", 5);                                                           \
                    return;                                                                                         \
                case value_t::number_integer: dump_integer(v.m_data.m_value.number_integer); return;                \
                case value_t::number_unsigned: dump_integer(v.m_data.m_value.number_unsigned); return;              \
                case value_t::number_float: dump_float(v.m_data.m_value.number_float); return;                      \
                case value_t::discarded: o->write_characters("<discarded>", 11); return;                            \
                default: o->write_characters("null", 4); return;                                                    \
            }                                                                                                       \
        };                                                                                                          \
        make_walker<J>(raw, key, scalar, integer, indent_string, pretty_print, indent_step)                         \
            .write(val, current_indent, 0);                                                                         \
    }

MIVRA_GUARDED_SERIALIZER_DUMP(basic_json<>)
MIVRA_GUARDED_SERIALIZER_DUMP(basic_json<ordered_map>)

} // namespace detail

NLOHMANN_JSON_NAMESPACE_END
