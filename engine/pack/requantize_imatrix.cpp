#include "engine/pack/requantize_imatrix.h"

#include "engine/pack/pack_source.h"
#include "platform/files.h"

#include <bit>
#include <cmath>
#include <cstdio>

static_assert(std::endian::native == std::endian::little, "imatrix.bin is little-endian");

namespace {

uint64_t row_floats(const imatrix_header& h) {
    return static_cast<uint64_t>(h.n_in) + static_cast<uint64_t>(h.n_ff);
}

uint64_t total_floats(const imatrix_header& h) {
    return static_cast<uint64_t>(h.n_layer) * static_cast<uint64_t>(h.n_expert) * row_floats(h);
}

}  // namespace

const float* importance_matrix::slice(int32_t layer, int64_t expert, bool down) const {
    if (values.empty() || layer < 0 || layer >= header.n_layer || expert < 0 || expert >= header.n_expert)
        return nullptr;
    const uint64_t row = static_cast<uint64_t>(layer) * static_cast<uint64_t>(header.n_expert) +
                         static_cast<uint64_t>(expert);
    const float* first = values.data() + row * row_floats(header) + (down ? header.n_in : 0);
    const int32_t n = down ? header.n_ff : header.n_in;
    bool positive = false;
    for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(first[i]) || first[i] < 0.0f) return nullptr;
        positive = positive || first[i] > 0.0f;
    }
    return positive ? first : nullptr;
}

importance_matrix read_imatrix(const std::string& path, int64_t n_expert, const pack_plans& plans) {
    importance_matrix m;
    const std::string misfit = "imatrix does not fit this model: ";
    file_descriptor fd = open_read(path);
    if (!fd.valid() || read_at(fd.get(), 0, &m.header, sizeof m.header) != sizeof m.header)
        throw pack_failure(misfit + path);
    const imatrix_header& h = m.header;
    if (h.n_layer < 0 || h.n_expert <= 0 || h.n_in <= 0 || h.n_ff <= 0 || h.n_expert != n_expert)
        throw pack_failure(misfit + path);
    // Every layer's rows must be as long as the slices handed to the quantiser.
    for (const auto& [layer, plan] : plans)
        if (plan.gate.ne0 != h.n_in || plan.up.ne0 != h.n_in || plan.down.ne0 != h.n_ff)
            throw pack_failure(misfit + path);

    // The file must hold the promised floats before any memory is sized from the header.
    const int64_t size = file_size(fd.get());
    const uint64_t available = size < 0 ? 0 : (static_cast<uint64_t>(size) - sizeof h) / sizeof(float);
    const uint64_t per_layer = static_cast<uint64_t>(h.n_expert) * row_floats(h);
    if (static_cast<uint64_t>(h.n_layer) > available / per_layer) throw pack_failure("short imatrix: " + path);
    const uint64_t count = total_floats(h);
    m.values.resize(count);
    if (read_at(fd.get(), sizeof h, m.values.data(), count * sizeof(float)) != count * sizeof(float))
        throw pack_failure("short imatrix: " + path);
    return m;
}

uint64_t imatrix_file_bytes(const imatrix_header& header) {
    return sizeof(imatrix_header) + total_floats(header) * sizeof(float);
}

bool write_imatrix(const std::string& path, const imatrix_header& header, const std::vector<float>& values) {
    if (values.size() != total_floats(header)) return false;
    const std::string tmp = path + ".tmp";
    file_descriptor fd = open_write_truncate(tmp);
    if (!fd.valid()) return false;
    bool ok = write_all(fd.get(), &header, sizeof header) &&
              write_all(fd.get(), values.data(), values.size() * sizeof(float)) && sync_file(fd.get());
    ok = fd.close() && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    std::remove(tmp.c_str());
    return false;
}
