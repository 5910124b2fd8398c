// JSON forms of the shared records, for the areas that embed them in their
// own files (task files, the Orca read state).
#pragma once

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "lantrel/task_status.hpp"

namespace lantrel {

// Instants are written as numbers of seconds since 2001.
nlohmann::ordered_json toJSON(const TaskStatus& task);
nlohmann::ordered_json toJSON(const OrcaSessionReference& reference);

// Throw DecodingError when a required key is missing or has the wrong type;
// optional keys may be missing or null, unknown keys are ignored.
TaskStatus taskStatus(simdjson::dom::element value);
OrcaSessionReference orcaSessionReference(simdjson::dom::element value);

// Parses a whole document with a caller's reused parser; malformed JSON is a
// DecodingError.
simdjson::dom::element parseDocument(simdjson::dom::parser& parser, std::string_view text);

}  // namespace lantrel
