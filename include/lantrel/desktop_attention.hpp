// Approval requests and questions that the Codex desktop app showed the user,
// read from its diagnostic log, and the Codex tasks they leave waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct DesktopAttention {
  // One request shown to the user (with a thread) or one response the app
  // sent back for a request (without).
  struct Record {
    Instant date;                         // the log line's timestamp
    std::string requestID;                // as written in the log
    std::string method;                   // one of the four request methods
    std::optional<std::string> threadID;  // the Codex thread, as written
  };

  // Only the last this-many bytes of a log file are read.
  static constexpr std::uint64_t tailBytes = 4194304;
  // At most this many log files are read.
  static constexpr std::size_t maximumFiles = 8;

  // ~/Library/Logs/com.openai.codex
  static std::filesystem::path defaultDirectory();

  // The records of the newest log files of the newest log's scope in the UTC
  // day directories (YYYY/MM/DD) of yesterday and today, newest file first,
  // each file in line order. A missing directory gives no records; failing
  // to list a day directory or to read a chosen file throws filesystem_error.
  static std::vector<Record> load(const std::filesystem::path& directory, Instant now);

  // The records of the qualifying lines of a log excerpt, in line order.
  // Every other line is skipped; this never fails.
  static std::vector<Record> parse(std::string_view data);

  // The tasks, in the same order, with every Codex task that owns a request
  // shown after its last turn boundary and not answered yet (as of `now`)
  // marked waiting with the attention confirmed.
  static std::vector<TaskStatus> applying(const std::vector<Record>& records,
                                          std::vector<TaskStatus> tasks, Instant now);
};

}  // namespace lantrel
