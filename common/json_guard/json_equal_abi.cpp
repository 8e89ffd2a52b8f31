// The guarded equality under the name that C++17 code gives it.
//
// Code built as C++17 (llama-common among it) compares ordered_json values through a hidden-friend
// operator==(const ordered_json&, const ordered_json&) instead of the member operator of C++20. llama-common calls
// it through its procedure linkage table, so this definition in the program takes the place of the library's
// unguarded one for those calls too. It lives alone in this file: anywhere else its declaration would make
// `a == b` between two ordered_json values ambiguous.
#include <nlohmann/json.hpp>

NLOHMANN_JSON_NAMESPACE_BEGIN

bool operator==(const ordered_json& lhs, const ordered_json& rhs) noexcept;

bool operator==(const ordered_json& lhs, const ordered_json& rhs) noexcept { return lhs.operator==(rhs); }

NLOHMANN_JSON_NAMESPACE_END

// Referred to by json_nesting_guard.cpp, so that this file is linked wherever the guard is.
extern "C" const char mivra_json_equal_abi_linked = 1;
