// murox's JSON output (murox(1), JSON OUTPUT): one object a line, the
// version field first, written so that a terminal can show it as it is.
#ifndef HOST_PROTOCOL_JSONTEXT_H
#define HOST_PROTOCOL_JSONTEXT_H

#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

namespace control {

// The name and value of the version field that leads every object; a
// field's meaning never changes under the same version.
const char kJsonVersionField[] = "murox_json";
const int kJsonVersion = 1;

// An object that holds the version field alone.
nlohmann::ordered_json JsonObject();

// `object` on one line with its newline: every character outside
// printable ASCII escaped (\uXXXX), so that no control character or
// character that hides or reorders text reaches a terminal, and bytes
// that are not UTF-8 (a peer's or a file's) as U+FFFD, never an error.
std::string JsonLine(const nlohmann::ordered_json& object);

// `when` as ISO 8601 in UTC ("2026-12-06T09:30:00Z").
std::string JsonTime(std::time_t when);

} // namespace control

#endif
