// Secret strings: how secrets are kept in settings files. The stored form is "dpapi:" (secret_prefix) followed by
// the Base64 of a blob that only this user can open (platform/secret_store.h); any other value is a plain value.
//
// All functions take and return UTF-8 strings (any bytes), never throw for bad input and keep no state of their
// own; they are safe from any thread.
#pragma once

#include <optional>
#include <string>

// The stored form of `value`: unchanged when empty or already protected ("dpapi:..."), otherwise "dpapi:" + Base64
// of the sealed value. When sealing fails the result is "" (the secret is then absent, never written in plain text).
std::string protect_secret(const std::string& value);
// The same, but nullopt when sealing fails, so that a caller can refuse to save instead of losing the secret.
std::optional<std::string> try_protect_secret(const std::string& value);

// The plain value of a stored form: a value without the "dpapi:" prefix unchanged, otherwise the opened secret, or
// "" when it cannot be opened (another user's or another key's secret, a damaged or truncated text).
std::string unprotect_secret(const std::string& stored);
// The same, but nullopt when a "dpapi:" value cannot be opened, so that a caller can keep the stored form as it is
// rather than overwrite it with an empty secret at the next save.
std::optional<std::string> try_unprotect_secret(const std::string& stored);
