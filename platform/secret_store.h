// Per-user protection of small secrets: what DPAPI's CryptProtectData / CryptUnprotectData do for the current
// Windows user.
//
// A secret is sealed with AES-256-GCM under a random 32-byte key kept in $XDG_CONFIG_HOME/mivra/secret.key
// (see config_folder_path()), mode 0600 in a 0700 folder. The key is created on the first seal, atomically: it is
// written in full to a temporary file and then linked to its name without replacing anything, so two processes
// starting at once end up with one key. An existing key file is never replaced, even when it is unusable: secrets
// sealed with it stay recoverable once it is repaired, instead of being lost to a new key.
//
// Sealed form: version byte 1, 12-byte nonce, ciphertext, 16-byte tag; the text "Mivra" is authenticated with it.
//
// Both functions are safe to call from any thread (the key is cached under a mutex and re-read when the key path
// changes). They read the environment but never change it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The key file: config_folder_path() / "secret.key".
std::filesystem::path secret_key_path();

// Seals `plain` (any bytes) under this user's key, creating the key when there is none yet. nullopt when the key
// cannot be read or created, or encryption fails.
std::optional<std::string> seal_user_secret(std::string_view plain);

// Opens a sealed blob. nullopt when there is no usable key, or the blob was not sealed with this key, is damaged or
// truncated. Never creates a key.
std::optional<std::string> open_user_secret(std::string_view sealed);
