// JSON trees of the shared records, for the areas that embed them in their
// own files (task files, the Orca read state).
#pragma once

#include <nlohmann/json.hpp>

#include "lantrel/task_status.hpp"

namespace lantrel {

// Instants are written as numbers of seconds since 2001.
nlohmann::ordered_json toJSON(const TaskStatus& task);
nlohmann::ordered_json toJSON(const OrcaSessionReference& reference);

// Throw DecodingError when a required key is missing or has the wrong type.
TaskStatus taskStatusFromJSON(const nlohmann::json& object);
OrcaSessionReference orcaSessionReferenceFromJSON(const nlohmann::json& object);

}  // namespace lantrel
