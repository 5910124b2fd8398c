// The Codex desktop app logs every approval or question it shows as a
// notification and every response it sends back. Pairing the two tells
// which Codex tasks still wait for the user, even when the transcript does
// not say so.

#include "lantrel/desktop_attention.hpp"

#include <dirent.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <map>
#include <memory>

#include "support/files.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t maximumLineBytes = 65536;
constexpr std::size_t maximumRequestIDCharacters = 128;
constexpr std::string_view separator = " info [electron-message-handler] ";
constexpr std::string_view showApproval = "[desktop-notifications] show approval ";
constexpr std::string_view showQuestion = "[desktop-notifications] show question ";
constexpr std::string_view sendingResponse = "Sending server response ";
constexpr std::string_view questionMethod = "item/tool/requestUserInput";

constexpr std::array<std::string_view, 4> requestMethods = {
    "item/commandExecution/requestApproval", "item/fileChange/requestApproval",
    "item/permissions/requestApproval", questionMethod};

struct ApprovalKind {
  std::string_view kind;
  std::string_view method;
};

constexpr std::array<ApprovalKind, 3> approvalMethodsByKind = {{
    {"commandExecution", "item/commandExecution/requestApproval"},
    {"fileChange", "item/fileChange/requestApproval"},
    {"permissionRequest", "item/permissions/requestApproval"},
}};

constexpr std::string_view codexTaskPrefix = "codex-";

// --- reading the log ----------------------------------------------------

struct Candidate {
  fs::path url;
  Instant date;
  std::string scope;
};

struct DirectoryCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// "YYYY/MM/DD" of the UTC day `offset` days from `now`, from the date the
// ISO 8601 form names (which holds any instant within its years).
std::string dayPath(Instant now, int offset) {
  std::string date = (now + offset * 86400.0).iso8601().substr(0, 10);
  date[4] = date[7] = '/';
  return date;
}

// Appends the day directory's desktop log files. The scope, the name up to
// "-t0-", tells which run of the app wrote a file.
void collectCandidates(const fs::path& day, std::vector<Candidate>& candidates) {
  std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(day.c_str()));
  if (!listing) files::throwErrno("cannot list directory", day, errno);
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view name = entry->d_name;
    std::size_t scopeEnd = name.find("-t0-");
    if (name.starts_with("codex-desktop-") && name.ends_with(".log") &&
        scopeEnd != std::string_view::npos) {
      fs::path url = day / name;
      files::ResourceValues values = files::resourceValues(url);
      if (values.isRegularFile && !values.isSymbolicLink)
        candidates.push_back({url, values.modified, std::string(name.substr(0, scopeEnd))});
    }
    errno = 0;
  }
  if (errno != 0) files::throwErrno("cannot list directory", day, errno);
}

// --- the line grammar -------------------------------------------------------

// The fields a line may carry; a later token of the same name wins.
struct Fields {
  std::optional<std::string_view> conversationId, requestId, kind, id, method;

  void set(std::string_view name, std::string_view value) {
    if (name == "conversationId") conversationId = value;
    else if (name == "requestId") requestId = value;
    else if (name == "kind") kind = value;
    else if (name == "id") id = value;
    else if (name == "method") method = value;
  }
};

// Tokens "name=value" separated by spaces, up to " response=", which starts
// the response body. Leading "=" of a token are skipped; the value keeps any
// further "="; a token without a name or a value is ignored.
Fields fieldsOf(std::string_view message) {
  Fields fields;
  std::string_view area = message.substr(0, message.find(" response="));
  std::size_t start = 0;
  while (start < area.size()) {
    std::size_t end = area.find(' ', start);
    if (end == std::string_view::npos) end = area.size();
    std::string_view token = area.substr(start, end - start);
    start = end + 1;
    std::size_t nameStart = token.find_first_not_of('=');
    if (nameStart == std::string_view::npos) continue;
    token.remove_prefix(nameStart);
    std::size_t equals = token.find('=');
    if (equals == std::string_view::npos || equals + 1 == token.size()) continue;
    fields.set(token.substr(0, equals), token.substr(equals + 1));
  }
  return fields;
}

std::optional<DesktopAttention::Record> requestRecord(Instant date, std::string_view message,
                                                      bool question) {
  Fields fields = fieldsOf(message);
  if (!fields.conversationId || !isUUID(*fields.conversationId)) return std::nullopt;
  if (!fields.requestId ||
      text::characterCount(*fields.requestId) > maximumRequestIDCharacters)
    return std::nullopt;
  std::string_view method = questionMethod;
  if (!question) {
    auto known = std::find_if(approvalMethodsByKind.begin(), approvalMethodsByKind.end(),
                              [&](const ApprovalKind& k) { return k.kind == fields.kind; });
    if (known == approvalMethodsByKind.end()) return std::nullopt;
    method = known->method;
  }
  return DesktopAttention::Record{date, std::string(*fields.requestId), std::string(method),
                                  std::string(*fields.conversationId)};
}

std::optional<DesktopAttention::Record> responseRecord(Instant date, std::string_view message) {
  Fields fields = fieldsOf(message);
  if (!fields.id || !fields.method ||
      std::find(requestMethods.begin(), requestMethods.end(), *fields.method) ==
          requestMethods.end())
    return std::nullopt;
  return DesktopAttention::Record{date, std::string(*fields.id), std::string(*fields.method),
                                  std::nullopt};
}

std::optional<DesktopAttention::Record> recordOfLine(std::string_view line) {
  // The separator and the message kinds are ASCII, which repairing the
  // text never changes; the cheap tests come before any decoding.
  std::size_t split = line.find(separator);
  if (split == std::string_view::npos ||
      line.find(separator, split + separator.size()) != std::string_view::npos)
    return std::nullopt;
  std::string_view message = line.substr(split + separator.size());
  bool approval = message.starts_with(showApproval);
  bool question = message.starts_with(showQuestion);
  bool response = message.starts_with(sendingResponse);
  if (!approval && !question && !response) return std::nullopt;
  auto date = Instant::parseISO8601(line.substr(0, split), true);
  if (!date) return std::nullopt;
  std::string repaired;
  if (!text::isValidUTF8(message)) {
    repaired = text::repairUTF8(message);
    message = repaired;
  }
  return response ? responseRecord(*date, message) : requestRecord(*date, message, question);
}

}  // namespace

fs::path DesktopAttention::defaultDirectory() {
  return files::homeDirectory() / "Library/Logs/com.openai.codex";
}

std::vector<DesktopAttention::Record> DesktopAttention::parse(std::string_view data) {
  std::vector<Record> records;
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string_view::npos) end = data.size();
    std::string_view line = data.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line.size() >= maximumLineBytes) continue;
    if (auto record = recordOfLine(line)) records.push_back(std::move(*record));
  }
  return records;
}

std::vector<DesktopAttention::Record> DesktopAttention::load(const fs::path& directory,
                                                             Instant now) {
  std::error_code error;
  if (!fs::exists(directory, error)) return {};
  std::vector<Candidate> candidates;
  std::vector<std::string> days = {dayPath(now, -1), dayPath(now, 0)};
  if (days[1] == days[0]) days.pop_back();  // at the calendar's far end
  for (const std::string& day : days)
    if (fs::exists(directory / day, error)) collectCandidates(directory / day, candidates);
  if (candidates.empty()) return {};

  // Only the files of the app's latest run count: older runs of another
  // scope may hold requests that were never answered in them.
  const Candidate* newest = &candidates.front();
  for (const auto& candidate : candidates)
    if (candidate.date > newest->date) newest = &candidate;
  std::string scope = newest->scope;
  std::erase_if(candidates, [&](const Candidate& c) { return c.scope != scope; });
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.date > b.date; });
  if (candidates.size() > maximumFiles) candidates.resize(maximumFiles);

  std::vector<Record> records;
  for (const auto& candidate : candidates) {
    std::vector<Record> found = parse(files::readTailLines(candidate.url, tailBytes));
    std::move(found.begin(), found.end(), std::back_inserter(records));
  }
  return records;
}

std::vector<TaskStatus> DesktopAttention::applying(const std::vector<Record>& records,
                                                   std::vector<TaskStatus> tasks, Instant now) {
  std::vector<const Record*> byDate;
  byDate.reserve(records.size());
  for (const auto& record : records) byDate.push_back(&record);
  std::stable_sort(byDate.begin(), byDate.end(),
                   [](const Record* a, const Record* b) { return a->date < b->date; });

  // Requests shown and not answered yet, by method and request ID.
  std::map<std::string, const Record*> pending;
  for (const Record* record : byDate) {
    if (record->date > now) continue;
    std::string key = record->method + ":" + record->requestID;
    if (record->threadID)
      pending[key] = record;
    else
      pending.erase(key);
  }
  if (pending.empty()) return tasks;

  for (auto& task : tasks) {
    if (task.source != codexSource || !task.id.starts_with(codexTaskPrefix)) continue;
    std::string_view thread = std::string_view(task.id).substr(codexTaskPrefix.size());
    Instant boundary = task.lastTurnBoundaryAt.value_or(Instant::distantPast());
    const Record* newestRequest = nullptr;
    for (const auto& [key, request] : pending) {
      if (*request->threadID != thread || !(request->date > boundary)) continue;
      if (!newestRequest || request->date > newestRequest->date) newestRequest = request;
    }
    if (!newestRequest) continue;
    task.state = LightState::waiting;
    task.confirmedAttentionPending = true;
    task.updatedAt = std::max(task.updatedAt, newestRequest->date);
  }
  return tasks;
}

}  // namespace lantrel
