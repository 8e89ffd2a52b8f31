#include "engine/pack/pack_layout.h"

#include <ggml.h>
#include <nlohmann/json.hpp>

#include <stdexcept>

namespace {

uint64_t round_up(uint64_t value, uint64_t align) { return (value + align - 1) / align * align; }

void append_part(std::string& out, const char* kind, const plan_part& p) {
    out += "{\"kind\": \"";
    out += kind;
    out += "\", \"type\": \"";
    out += json_string_contents(ggml_type_name(static_cast<ggml_type>(p.type)));
    out += "\", \"type_id\": " + std::to_string(p.type);
    out += ", \"offset\": " + std::to_string(p.offset);
    out += ", \"bytes\": " + std::to_string(p.bytes);
    out += ", \"ne\": [" + std::to_string(p.ne0) + ", " + std::to_string(p.ne1) + "]}";
}

}  // namespace

uint64_t layout_expert_blobs(int64_t n_expert, pack_plans& plans) {
    uint64_t total = 0;
    for (auto& [layer, plan] : plans) {
        uint64_t pos = 0;
        for (plan_part* part : {&plan.gate, &plan.up, &plan.down}) {
            if (part->bytes == 0)
                throw std::runtime_error("layer is missing an expert tensor: blk." + std::to_string(layer));
            part->offset = pos;
            pos = round_up(pos + part->bytes, part_align);
        }
        plan.stride = round_up(pos, blob_align);
        plan.offset = total;
        total += plan.stride * static_cast<uint64_t>(n_expert);
    }
    return total;
}

int find_lowbit_type(const std::string& name) {
    for (int t = 0; t <= 42 && t < GGML_TYPE_COUNT; ++t) {
        const auto type = static_cast<ggml_type>(t);
        if (ggml_blck_size(type) == 0) continue;  // a number whose type was removed
        const char* type_name = ggml_type_name(type);
        if (type_name && name == type_name) return t;
    }
    return -1;
}

pack_plans make_lowbit_plans(const pack_plans& full, int type) {
    const auto lo_type = static_cast<ggml_type>(type);
    pack_plans out = full;
    for (auto& [layer, plan] : out) {
        for (plan_part* part : {&plan.gate, &plan.up, &plan.down}) {
            if (part->ne0 % ggml_blck_size(lo_type) != 0)
                throw std::runtime_error("row length not a multiple of the --lowbit block size");
            part->type = type;
            part->bytes = ggml_row_size(lo_type, part->ne0) * static_cast<uint64_t>(part->ne1);
            part->offset = 0;
        }
        plan.stride = 0;
        plan.offset = 0;
    }
    return out;
}

std::string manifest_layer_lines(const pack_plans& plans) {
    std::string out;
    size_t left = plans.size();
    for (const auto& [layer, plan] : plans) {
        out += "    {\"layer\": " + std::to_string(layer) + ", \"offset\": " + std::to_string(plan.offset) +
               ", \"stride\": " + std::to_string(plan.stride) + ", \"parts\": [";
        append_part(out, "gate", plan.gate);
        out += ", ";
        append_part(out, "up", plan.up);
        out += ", ";
        append_part(out, "down", plan.down);
        out += --left > 0 ? "]},\n" : "]}\n";
    }
    return out;
}

std::string manifest_text(const manifest_fields& f) {
    std::string doc = "{\n  \"format\": \"mivra-pack-1\",\n  \"source\": \"" + json_string_contents(f.source) +
                      "\",\n  \"arch\": \"" + json_string_contents(f.arch) +
                      "\",\n  \"n_expert\": " + std::to_string(f.n_expert) + ",\n  \"blob_align\": " +
                      std::to_string(blob_align) +
                      ",\n  \"core\": \"core.gguf\",\n  \"experts\": \"experts.bin\"" + ",\n  \"experts_bytes\": " +
                      std::to_string(f.experts_bytes) + ",\n  \"layers\": [\n" + manifest_layer_lines(*f.plans) +
                      "  ]";
    if (f.lowbit_plans) {
        doc += ",\n  \"lowbit\": {\"experts\": \"experts.lo.bin\", \"experts_bytes\": " +
               std::to_string(f.lowbit_bytes) + ", \"layers\": [\n" + manifest_layer_lines(*f.lowbit_plans) +
               "  ]}";
    }
    doc += "\n}\n";
    std::string crlf;
    crlf.reserve(doc.size() + doc.size() / 16);
    for (char c : doc) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return crlf;
}

std::string json_string_contents(const std::string& text) {
    const std::string quoted =
        nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}
