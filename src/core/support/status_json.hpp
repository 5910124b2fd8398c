// The JSON forms of the shared records, for the files that hold them (task
// files, the Orca read state). Defined with the task model.
#pragma once

#include "lantrel/task_status.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"

namespace lantrel {

// Instants are numbers of seconds since 2001; a non-finite one throws
// StatusError::invalidRecord.
void write(json::Writer& writer, const TaskStatus& task);
void write(json::Writer& writer, const OrcaSessionReference& reference);

// Throw DecodingError when a required key is missing or has the wrong type;
// optional keys may be missing or null, unknown keys are ignored.
TaskStatus taskStatus(json::Element value);
OrcaSessionReference orcaSessionReference(json::Element value);

}  // namespace lantrel
