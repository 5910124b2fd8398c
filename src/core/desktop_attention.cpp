// The Codex desktop app logs every approval or question it shows as a
// notification and every response it sends back. Pairing the two tells
// which Codex tasks still wait for the user, even when the transcript does
// not say so.

#include "lantrel/desktop_attention.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "support/files.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t maximumLineBytes = 65536;
constexpr std::size_t maximumRequestIDCharacters = 128;
constexpr std::string_view separator = " info [electron-message-handler] ";
constexpr std::size_t separatorAnchor = 6;  // its "[", which messages seldom hold
constexpr std::string_view showApproval = "[desktop-notifications] show approval ";
constexpr std::string_view showQuestion = "[desktop-notifications] show question ";
constexpr std::string_view sendingResponse = "Sending server response ";
constexpr std::string_view questionMethod = "item/tool/requestUserInput";

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
  std::string url;
  Instant date;
  std::string scope;
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
  files::walk(day, {}, [&](const files::DirectoryEntry& entry) {
    std::string_view name = entry.name;
    std::size_t scopeEnd = name.find("-t0-");
    if (!name.starts_with("codex-desktop-") || !name.ends_with(".log") ||
        scopeEnd == std::string_view::npos)
      return true;
    auto values = entry.values();  // a failure fails the whole load
    if (values && values->isRegularFile)
      candidates.push_back({std::string(entry.path), values->modified, std::string(name.substr(0, scopeEnd))});
    return true;
  });
}

// --- the line grammar -------------------------------------------------------

// The values of the fields `names` in a message, in one pass: each the
// last of its tokens "name=value", separated by spaces, before " response="
// (which starts the response body). Leading "=" of a token are skipped and
// the value keeps any further "="; a token without a name or a value sets
// nothing.
template <std::size_t N>
std::array<std::optional<std::string_view>, N> fields(std::string_view message,
                                                      const std::array<std::string_view, N>& names) {
  constexpr std::string_view body = " response=";
  std::array<std::optional<std::string_view>, N> values;
  // The body is looked for only where a token ends, at a space.
  for (std::string_view rest = message; !rest.empty();) {
    std::size_t space = rest.find(' ');
    std::string_view token = rest.substr(0, space);
    bool last = space == std::string_view::npos || rest.substr(space).starts_with(body);
    rest.remove_prefix(last ? rest.size() : space + 1);
    token.remove_prefix(std::min(token.size(), token.find_first_not_of('=')));
    std::size_t equals = token.find('=');
    if (equals == std::string_view::npos || equals + 1 >= token.size()) continue;
    for (std::size_t i = 0; i < N; ++i)
      if (token.substr(0, equals) == names[i]) values[i] = token.substr(equals + 1);
  }
  return values;
}

std::optional<DesktopAttention::Record> requestRecord(Instant date, std::string_view message,
                                                      bool question) {
  constexpr std::array<std::string_view, 3> names = {"conversationId", "requestId", "kind"};
  auto [conversationID, requestID, kindField] = fields(message, names);
  std::optional<std::string_view> kind = kindField;  // a lambda below reads it
  if (!conversationID || !isUUID(*conversationID) || !requestID ||
      !text::atMostCharacters(*requestID, maximumRequestIDCharacters))
    return std::nullopt;
  std::string_view method = questionMethod;
  if (!question) {
    auto known = std::find_if(approvalMethodsByKind.begin(), approvalMethodsByKind.end(),
                              [&](const ApprovalKind& k) { return k.kind == kind; });
    if (known == approvalMethodsByKind.end()) return std::nullopt;
    method = known->method;
  }
  return DesktopAttention::Record{date, std::string(*requestID), std::string(method),
                                  std::string(*conversationID)};
}

// The four methods of requests the app shows the user.
bool isRequestMethod(std::string_view method) {
  return method == questionMethod ||
         std::any_of(approvalMethodsByKind.begin(), approvalMethodsByKind.end(),
                     [&](const ApprovalKind& k) { return k.method == method; });
}

std::optional<DesktopAttention::Record> responseRecord(Instant date, std::string_view message) {
  constexpr std::array<std::string_view, 2> names = {"id", "method"};
  auto [id, method] = fields(message, names);
  if (!id || !method || !isRequestMethod(*method)) return std::nullopt;
  return DesktopAttention::Record{date, std::string(*id), std::string(*method), std::nullopt};
}

// A message kind and the byte it is searched by: one that log text seldom
// holds elsewhere (every line holds "[" twice, in its separator).
struct Kind {
  std::string_view text;
  std::size_t anchor;
};

// Where `kind` next starts at or after `from`, or npos.
std::size_t find(std::string_view data, Kind kind, std::size_t from) {
  for (std::size_t at = from + kind.anchor; at < data.size(); ++at) {
    auto hit = static_cast<const char*>(
        std::memchr(data.data() + at, kind.text[kind.anchor], data.size() - at));
    if (!hit) break;
    at = std::size_t(hit - data.data());
    if (data.substr(at - kind.anchor, kind.text.size()) == kind.text) return at - kind.anchor;
  }
  return std::string_view::npos;
}

// The record of a line split at the separator before its message kind:
// `timestamp` stands before the separator and `message` after it.
std::optional<DesktopAttention::Record> recordOfLine(std::string_view timestamp,
                                                     std::string_view message) {
  // The separator and the message kinds are ASCII, which repairing the
  // text never changes; the cheap tests come before any decoding.
  bool approval = message.starts_with(showApproval);
  bool question = message.starts_with(showQuestion);
  bool response = message.starts_with(sendingResponse);
  if ((!approval && !question && !response) ||
      find(message, {separator, separatorAnchor}, 0) != std::string_view::npos)
    return std::nullopt;
  auto date = Instant::parseISO8601(timestamp, true);
  if (!date) return std::nullopt;
  std::string repaired;
  if (!text::isValidUTF8(message)) message = repaired = text::repairUTF8(message);
  return response ? responseRecord(*date, message) : requestRecord(*date, message, question);
}

// Where the line holding `at` starts: after the last line feed before it.
// The C library's search reads words at a time where the standard one
// reads bytes, and each record's line is searched back.
std::size_t lineStart(std::string_view data, std::size_t at) {
#ifdef __GLIBC__
  auto feed = static_cast<const char*>(::memrchr(data.data(), '\n', at));
  return feed ? std::size_t(feed - data.data()) + 1 : 0;
#else
  return data.rfind('\n', at) + 1;  // npos + 1 is 0
#endif
}

// Only a line with one of the message kinds right after the separator
// makes a record: about one line in fifty. Such lines are found by
// searching for the kinds, in the order they stand, and every other line is
// passed over unread.
void parseInto(std::string_view data, std::vector<DesktopAttention::Record>& records) {
  constexpr Kind kinds[] = {{"[desktop-notifications] show ", 4}, {sendingResponse, 0}};
  std::size_t hits[] = {find(data, kinds[0], 0), find(data, kinds[1], 0)};
  while (std::min(hits[0], hits[1]) != std::string_view::npos) {
    std::size_t at = std::min(hits[0], hits[1]);
    std::size_t start = lineStart(data, at);
    std::size_t stop = std::min(data.find('\n', at), data.size());
    // The separator must end right at the kind. A separator earlier in the
    // line leaves text before this one that no timestamp parse accepts.
    bool separated = at - start >= separator.size() &&
                     data.compare(at - separator.size(), separator.size(), separator) == 0;
    if (separated && stop - start < maximumLineBytes)
      if (auto record = recordOfLine(data.substr(start, at - separator.size() - start),
                                     data.substr(at, stop - at)))
        records.push_back(std::move(*record));
    for (int i = 0; i < 2; ++i)
      if (hits[i] <= stop) hits[i] = find(data, kinds[i], stop);
  }
}

}  // namespace

fs::path DesktopAttention::defaultDirectory() {
  return files::homeDirectory() / "Library/Logs/com.openai.codex";
}

std::vector<DesktopAttention::Record> DesktopAttention::parse(std::string_view data) {
  std::vector<Record> records;
  parseInto(data, records);
  return records;
}

std::vector<DesktopAttention::Record> DesktopAttention::load(const fs::path& directory,
                                                             Instant now) {
  std::vector<Candidate> candidates;
  std::vector<std::string> days = {dayPath(now, -1), dayPath(now, 0)};
  if (days[1] == days[0]) days.pop_back();  // at the calendar's far end
  // A missing log directory or day directory holds no candidates.
  for (const std::string& day : days) collectCandidates(directory / day, candidates);
  if (candidates.empty()) return {};

  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.date > b.date; });
  // Only the files of the app's latest run count: older runs of another
  // scope may hold requests that were never answered in them.
  std::string scope = candidates.front().scope;
  std::erase_if(candidates, [&](const Candidate& c) { return c.scope != scope; });
  if (candidates.size() > maximumFiles) candidates.resize(maximumFiles);

  std::vector<Record> records;
  files::ReadBuffer buffer;
  for (const auto& candidate : candidates) {
    // A log the app rotated away since the listing is passed over.
    files::goneSinceListing([&] {
      files::forEachTailPiece(candidate.url, tailBytes, maximumLineBytes, buffer,
                              [&](std::string_view lines) { parseInto(lines, records); });
    });
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
  struct Key {
    std::string_view method, requestID;
    bool operator==(const Key&) const = default;
  };
  struct Hash {
    std::size_t operator()(const Key& k) const {
      return std::hash<std::string_view>()(k.method) * 31 + std::hash<std::string_view>()(k.requestID);
    }
  };
  std::unordered_map<Key, const Record*, Hash> pending;
  pending.reserve(records.size());
  for (const Record* record : byDate) {
    if (record->date > now) continue;
    Key key{record->method, record->requestID};
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
