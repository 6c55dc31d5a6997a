#include "host/protocol/JsonText.h"

namespace control {

nlohmann::ordered_json JsonObject()
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object[kJsonVersionField] = kJsonVersion;
    return object;
}

std::string JsonLine(const nlohmann::ordered_json& object)
{
    return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

std::string JsonTime(std::time_t when)
{
    std::tm utc{};
    char text[32];
    if (gmtime_r(&when, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return std::string();
    return text;
}

} // namespace control
