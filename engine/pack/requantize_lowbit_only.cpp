#include "engine/pack/requantize.h"

#include "engine/pack/pack_source.h"
#include "platform/files.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <type_traits>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr size_t max_manifest_bytes = 64u << 20;

// A manifest number equals `expected`, whichever JSON number type holds it; any other value differs.
template <typename T>
bool number_equals(const json& v, T expected) {
    if (v.is_number_float()) return v.get<double>() == static_cast<double>(expected);
    if constexpr (std::is_signed_v<T>)
        if (expected < 0) return v.is_number_integer() && v.get<int64_t>() == static_cast<int64_t>(expected);
    if (v.is_number_unsigned()) return v.get<uint64_t>() == static_cast<uint64_t>(expected);
    if (v.is_number_integer()) return v.get<int64_t>() == static_cast<int64_t>(expected);
    return false;
}

template <typename T>
bool number_is(const json& object, const char* key, T expected) {
    const auto it = object.find(key);
    return it != object.end() && number_equals(*it, expected);
}

bool part_matches(const json& parts, const char* kind, const plan_part& p) {
    if (!parts.is_array()) return false;
    for (const json& part : parts) {
        if (!part.is_object() || part.value("kind", json()) != kind) continue;
        const json ne = part.value("ne", json());
        return number_is(part, "type_id", p.type) && number_is(part, "offset", p.offset) &&
               number_is(part, "bytes", p.bytes) && ne.is_array() && ne.size() == 2 &&
               number_equals(ne[0], p.ne0) && number_equals(ne[1], p.ne1);
    }
    return false;
}

bool layer_matches(const json& entry, const pack_layer_plan& plan) {
    if (!entry.is_object() || !number_is(entry, "layer", plan.layer) || !number_is(entry, "offset", plan.offset) ||
        !number_is(entry, "stride", plan.stride))
        return false;
    const json parts = entry.value("parts", json());
    return part_matches(parts, "gate", plan.gate) && part_matches(parts, "up", plan.up) &&
           part_matches(parts, "down", plan.down);
}

std::string string_or_empty(const json& doc, const char* key) {
    const auto it = doc.find(key);
    return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

existing_pack check_existing_pack(const std::string& out_dir, const std::string& model_path, const pack_plans& plans,
                                  uint64_t experts_bytes) {
    auto refuse = [&](const std::string& reason) {
        throw pack_failure("the pack in " + out_dir + " does not match " + model_path + ": " + reason);
    };
    const std::string manifest_path = (fs::path(out_dir) / "manifest.json").string();
    const int64_t size = file_size(manifest_path);
    std::string text;
    if (size >= 0 && static_cast<uint64_t>(size) <= max_manifest_bytes) {
        text.resize(static_cast<size_t>(size));
        const file_descriptor fd = open_read(manifest_path);
        if (!fd.valid() || read_at(fd.get(), 0, text.data(), text.size()) != text.size()) text.clear();
    }
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) refuse("its manifest.json cannot be read");

    const json layers = doc.value("layers", json());
    if (!layers.is_array() || layers.size() != plans.size()) refuse("its layer table differs");
    size_t i = 0;
    for (const auto& [layer, plan] : plans)
        if (!layer_matches(layers[i++], plan)) refuse("its layer table differs at layer " + std::to_string(layer));

    const int64_t on_disk = file_size((fs::path(out_dir) / "experts.bin").string());
    if (on_disk < 0) refuse("it has no experts.bin");
    if (static_cast<uint64_t>(on_disk) != experts_bytes)
        refuse("experts.bin has " + std::to_string(on_disk) + " bytes, not " + std::to_string(experts_bytes));
    return {string_or_empty(doc, "source"), string_or_empty(doc, "arch")};
}
