#include "common/secret_strings.h"

#include "common/process_state.h"
#include "common/text_helpers.h"
#include "platform/secret_store.h"

namespace {

bool has_prefix(const std::string& value) { return value.compare(0, secret_prefix.size(), secret_prefix) == 0; }

} // namespace

std::optional<std::string> try_protect_secret(const std::string& value) {
    if (value.empty() || has_prefix(value)) return value;
    const std::optional<std::string> sealed = seal_user_secret(value);
    if (!sealed) return std::nullopt;
    return secret_prefix + base64_encode(*sealed);
}

std::string protect_secret(const std::string& value) { return try_protect_secret(value).value_or(std::string()); }

std::optional<std::string> try_unprotect_secret(const std::string& stored) {
    if (!has_prefix(stored)) return stored;
    return open_user_secret(base64_decode(std::string_view(stored).substr(secret_prefix.size())));
}

std::string unprotect_secret(const std::string& stored) {
    return try_unprotect_secret(stored).value_or(std::string());
}
