#include "agent/web_tools.h"

#include "agent/web_fetch.h"
#include "agent/web_search.h"
#include "common/file_helpers.h"

nlohmann::json web_search_tool(const nlohmann::json& arguments, const std::string& brave_api_key) {
    const std::string query = json_string_required(arguments, "query");
    return run_web_search(query, web_search_services_from_environment(brave_api_key));
}

nlohmann::json fetch_url_tool(const nlohmann::json& arguments) {
    return fetch_url_text(json_string_required(arguments, "url"));
}
