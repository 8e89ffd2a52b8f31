// Blob layout, low-bit planning and the manifest text, checked against hand-worked layouts.
#include "engine/pack/pack_layout.h"

#include <ggml.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>

namespace {

plan_part part(int32_t type, int64_t ne0, int64_t ne1, uint64_t bytes) {
    plan_part p;
    p.tensor = 0;
    p.type = type;
    p.ne0 = ne0;
    p.ne1 = ne1;
    p.bytes = bytes;
    return p;
}

pack_layer_plan layer(int32_t n, uint64_t gate, uint64_t up, uint64_t down) {
    pack_layer_plan p;
    p.layer = n;
    p.gate = part(GGML_TYPE_F16, 1, 1, gate);
    p.up = part(GGML_TYPE_F16, 1, 1, up);
    p.down = part(GGML_TYPE_F16, 1, 1, down);
    return p;
}

}  // namespace

TEST(PackLayout, PartOffsetsStridesAndLayerOffsets) {
    struct row {
        uint64_t gate, up, down;
        uint64_t up_offset, down_offset, stride;
    };
    const row rows[] = {
        {128, 64, 64, 128, 192, 4096},           // multiples of 64 follow each other directly
        {100, 1, 1, 128, 192, 4096},             // each part starts at the next multiple of 64
        {1024, 1024, 2048, 1024, 2048, 4096},    // down ends exactly on 4096: no trailing padding
        {1024, 1024, 2049, 1024, 2048, 8192},    // one byte more: a whole extra page
        {8192, 8192, 8192, 8192, 16384, 24576},
    };
    for (const row& r : rows) {
        pack_plans plans;
        plans[0] = layer(0, r.gate, r.up, r.down);
        EXPECT_EQ(layout_expert_blobs(3, plans), r.stride * 3) << r.gate << "/" << r.up << "/" << r.down;
        EXPECT_EQ(plans[0].gate.offset, 0u);
        EXPECT_EQ(plans[0].up.offset, r.up_offset);
        EXPECT_EQ(plans[0].down.offset, r.down_offset);
        EXPECT_EQ(plans[0].stride, r.stride);
    }
}

TEST(PackLayout, LayersFollowInAscendingOrderWithTheirOwnStrides) {
    pack_plans plans;
    plans[2] = layer(2, 5000, 5000, 5000);  // inserted first, laid out last
    plans[0] = layer(0, 64, 64, 64);
    plans[1] = layer(1, 4096, 4096, 4096);
    EXPECT_EQ(layout_expert_blobs(4, plans), 4096u * 4 + 12288u * 4 + 16384u * 4);
    EXPECT_EQ(plans[0].offset, 0u);
    EXPECT_EQ(plans[1].offset, 4096u * 4);
    EXPECT_EQ(plans[2].offset, 4096u * 4 + 12288u * 4);
    EXPECT_EQ(plans[2].stride, 16384u);
}

TEST(PackLayout, MissingPartNamesTheLayer) {
    pack_plans plans;
    plans[0] = layer(0, 64, 64, 64);
    plans[5] = layer(5, 64, 64, 0);
    try {
        layout_expert_blobs(2, plans);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "layer is missing an expert tensor: blk.5");
    }
}

TEST(PackLayout, LowbitTypeNames) {
    EXPECT_EQ(find_lowbit_type("q2_K"), GGML_TYPE_Q2_K);
    EXPECT_EQ(find_lowbit_type("q4_0"), GGML_TYPE_Q4_0);
    EXPECT_EQ(find_lowbit_type("f32"), GGML_TYPE_F32);
    EXPECT_EQ(find_lowbit_type("Q2_K"), -1);        // names are case-sensitive
    EXPECT_EQ(find_lowbit_type("DEPRECATED"), -1);  // removed type numbers have no usable name
    EXPECT_EQ(find_lowbit_type(""), -1);
}

TEST(PackLayout, LowbitPlansTakeTheTypeSizesAndLayOutAfresh) {
    pack_plans full;
    full[0].layer = 0;
    full[0].gate = part(GGML_TYPE_F16, 256, 64, 256 * 64 * 2);
    full[0].up = part(GGML_TYPE_F16, 256, 64, 256 * 64 * 2);
    full[0].down = part(GGML_TYPE_F16, 512, 32, 512 * 32 * 2);
    layout_expert_blobs(8, full);
    pack_plans lo = make_lowbit_plans(full, GGML_TYPE_Q2_K);
    const uint64_t lo_bytes = layout_expert_blobs(8, lo);
    EXPECT_EQ(lo[0].gate.type, GGML_TYPE_Q2_K);
    EXPECT_EQ(lo[0].gate.bytes, 84u * 64);   // one 84-byte block per row of 256
    EXPECT_EQ(lo[0].down.bytes, 168u * 32);  // two blocks per row of 512
    EXPECT_EQ(lo[0].up.offset, 5376u);
    EXPECT_EQ(lo[0].stride, 16384u);
    EXPECT_EQ(lo_bytes, 16384u * 8);
    EXPECT_EQ(full[0].gate.type, GGML_TYPE_F16);  // the full plans are untouched

    full[0].down.ne0 = 2880;
    try {
        make_lowbit_plans(full, GGML_TYPE_Q2_K);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "row length not a multiple of the --lowbit block size");
    }
}

TEST(PackManifest, TextIsExactWithCrLfLineEnds) {
    pack_plans plans;
    plans[0].layer = 0;
    plans[0].gate = part(GGML_TYPE_Q8_0, 64, 32, 2176);
    plans[0].up = part(GGML_TYPE_Q8_0, 64, 32, 2176);
    plans[0].down = part(GGML_TYPE_Q4_K, 256, 2, 288);
    plans[1] = plans[0];
    plans[1].layer = 1;
    const uint64_t bytes = layout_expert_blobs(2, plans);
    pack_plans lo = make_lowbit_plans(plans, GGML_TYPE_Q4_0);
    const uint64_t lo_bytes = layout_expert_blobs(2, lo);

    manifest_fields f;
    f.source = "m.gguf";
    f.arch = "qwen3moe";
    f.n_expert = 2;
    f.experts_bytes = bytes;
    f.plans = &plans;
    const std::string line0 =
        "    {\"layer\": 0, \"offset\": 0, \"stride\": 8192, \"parts\": ["
        "{\"kind\": \"gate\", \"type\": \"q8_0\", \"type_id\": 8, \"offset\": 0, \"bytes\": 2176, \"ne\": [64, 32]}, "
        "{\"kind\": \"up\", \"type\": \"q8_0\", \"type_id\": 8, \"offset\": 2176, \"bytes\": 2176, \"ne\": [64, 32]}, "
        "{\"kind\": \"down\", \"type\": \"q4_K\", \"type_id\": 12, \"offset\": 4352, \"bytes\": 288, \"ne\": [256, 2]}]}";
    const std::string line1 =
        "    {\"layer\": 1, \"offset\": 16384, \"stride\": 8192, \"parts\": ["
        "{\"kind\": \"gate\", \"type\": \"q8_0\", \"type_id\": 8, \"offset\": 0, \"bytes\": 2176, \"ne\": [64, 32]}, "
        "{\"kind\": \"up\", \"type\": \"q8_0\", \"type_id\": 8, \"offset\": 2176, \"bytes\": 2176, \"ne\": [64, 32]}, "
        "{\"kind\": \"down\", \"type\": \"q4_K\", \"type_id\": 12, \"offset\": 4352, \"bytes\": 288, \"ne\": [256, 2]}]}";
    const std::string head =
        "{\r\n  \"format\": \"mivra-pack-1\",\r\n  \"source\": \"m.gguf\",\r\n  \"arch\": \"qwen3moe\",\r\n"
        "  \"n_expert\": 2,\r\n  \"blob_align\": 4096,\r\n  \"core\": \"core.gguf\",\r\n"
        "  \"experts\": \"experts.bin\",\r\n  \"experts_bytes\": 32768,\r\n  \"layers\": [\r\n";
    EXPECT_EQ(manifest_text(f), head + line0 + ",\r\n" + line1 + "\r\n  ]\r\n}\r\n");

    f.lowbit_plans = &lo;
    f.lowbit_bytes = lo_bytes;
    const std::string text = manifest_text(f);
    const std::string lowbit_head =
        "  ],\r\n  \"lowbit\": {\"experts\": \"experts.lo.bin\", \"experts_bytes\": 16384, \"layers\": [\r\n"
        "    {\"layer\": 0, \"offset\": 0, \"stride\": 4096, \"parts\": [{\"kind\": \"gate\", \"type\": \"q4_0\", "
        "\"type_id\": 2, \"offset\": 0, \"bytes\": 1152, \"ne\": [64, 32]}, ";
    EXPECT_NE(text.find(lowbit_head), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\"ne\": [256, 2]}]}\r\n  ]}\r\n}\r\n")) << text;
    const auto doc = nlohmann::json::parse(text);
    EXPECT_EQ(doc["lowbit"]["layers"][1]["offset"], 8192);
}

TEST(PackManifest, SourceAndArchAreJsonStringContents) {
    pack_plans plans;
    plans[0] = layer(0, 64, 64, 64);
    layout_expert_blobs(1, plans);
    manifest_fields f;
    f.source = "m\xc3\xb6" "del \"q\" \\ \x01.gguf";  // non-ASCII, quote, backslash, control character
    f.arch = std::string("\xff") + "x";                  // not UTF-8: replaced, still a valid document
    f.n_expert = 1;
    f.plans = &plans;
    const std::string text = manifest_text(f);
    EXPECT_NE(text.find("\"source\": \"m\xc3\xb6" "del \\\"q\\\" \\\\ \\u0001.gguf\""), std::string::npos) << text;
    const auto doc = nlohmann::json::parse(text);
    EXPECT_EQ(doc["source"], f.source);
    EXPECT_EQ(doc["arch"], "\xef\xbf\xbdx");
}
