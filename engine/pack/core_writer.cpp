#include "engine/pack/core_writer.h"

#include "engine/pack/pack_source.h"
#include "platform/files.h"

#include <ggml.h>
#include <gguf.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t copy_chunk = 16u << 20;

struct gguf_deleter {
    void operator()(gguf_context* g) const { gguf_free(g); }
};
using gguf_ptr = std::unique_ptr<gguf_context, gguf_deleter>;

// The file as ggml reads it must hold exactly what was meant to be written.
bool reads_back(const gguf_context* written, const std::string& path, uint64_t end) {
    gguf_init_params params{true, nullptr};
    gguf_ptr back(gguf_init_from_file(path.c_str(), params));
    if (!back) return false;
    if (gguf_get_n_kv(back.get()) != gguf_get_n_kv(written) ||
        gguf_get_n_tensors(back.get()) != gguf_get_n_tensors(written) ||
        gguf_get_data_offset(back.get()) != gguf_get_meta_size(written))
        return false;
    for (int64_t i = 0; i < gguf_get_n_kv(written); ++i)
        if (std::strcmp(gguf_get_key(back.get(), i), gguf_get_key(written, i)) != 0 ||
            gguf_get_kv_type(back.get(), i) != gguf_get_kv_type(written, i))
            return false;
    for (int64_t i = 0; i < gguf_get_n_tensors(written); ++i)
        if (std::strcmp(gguf_get_tensor_name(back.get(), i), gguf_get_tensor_name(written, i)) != 0 ||
            gguf_get_tensor_type(back.get(), i) != gguf_get_tensor_type(written, i) ||
            gguf_get_tensor_offset(back.get(), i) != gguf_get_tensor_offset(written, i) ||
            gguf_get_tensor_size(back.get(), i) != gguf_get_tensor_size(written, i))
            return false;
    const int64_t size = file_size(path);
    return size >= 0 && static_cast<uint64_t>(size) == end;
}

}  // namespace

uint64_t write_core_gguf(const pack_source& src, int source_fd, const std::string& path) {
    gguf_ptr out(gguf_init_empty());
    gguf_set_kv(out.get(), src.gguf);
    for (int64_t i : src.core)
        gguf_add_tensor(out.get(), ggml_get_tensor(src.ctx, gguf_get_tensor_name(src.gguf, i)));
    if (!gguf_write_to_file(out.get(), path.c_str(), true)) throw pack_failure("cannot write core.gguf");
    const uint64_t meta = gguf_get_meta_size(out.get());

    file_descriptor fd = open_read_write(path);
    if (!fd.valid()) throw pack_failure("write failed: core.gguf");
    std::vector<uint8_t> buffer;
    uint64_t total = 0;
    uint64_t end = meta;
    for (size_t n = 0; n < src.core.size(); ++n) {
        const int64_t i = src.core[n];
        const uint64_t size = gguf_get_tensor_size(src.gguf, i);
        const uint64_t from = src.data_offset + gguf_get_tensor_offset(src.gguf, i);
        const uint64_t to = meta + gguf_get_tensor_offset(out.get(), static_cast<int64_t>(n));
        buffer.resize(std::min<uint64_t>(size, copy_chunk));
        for (uint64_t done = 0; done < size;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(size - done, copy_chunk));
            read_source_range(source_fd, from + done, buffer.data(), count);
            if (!write_at(fd.get(), to + done, buffer.data(), count)) throw pack_failure("write failed: core.gguf");
            done += count;
        }
        total += size;
        const uint64_t align = gguf_get_alignment(out.get());
        end = (to + size + align - 1) / align * align;
    }
    // Zero padding up to the aligned end of the last tensor.
    const int64_t size = file_size(fd.get());
    if (size < 0) throw pack_failure("write failed: core.gguf");
    if (static_cast<uint64_t>(size) < end) {
        const std::vector<uint8_t> zeros(static_cast<size_t>(end - static_cast<uint64_t>(size)), 0);
        if (!write_at(fd.get(), static_cast<uint64_t>(size), zeros.data(), zeros.size()))
            throw pack_failure("write failed: core.gguf");
    }
    if (!sync_file(fd.get()) || !fd.close()) throw pack_failure("write failed: core.gguf");
    if (!reads_back(out.get(), path, std::max<uint64_t>(end, static_cast<uint64_t>(size))))
        throw pack_failure("core.gguf does not read back as written");
    return total;
}
