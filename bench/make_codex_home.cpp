// Writes the worst case that `lantrel-status codex` meets on a busy laptop,
// dated around the current time, and the plan of what the least possible
// reader must read of it (for floor_codex_reads):
//
//   DIR/home/.codex/sessions        10,000 small old transcripts over many
//                                   day directories, and 60 transcripts of
//                                   about 4 MB (tool outputs up to 1 MB)
//                                   modified within the last hour
//   DIR/home/.codex/session_index.jsonl       5 MB
//   DIR/home/.codex/.codex-global-state.json  16,000,000 bytes
//   DIR/home/.codex/automations               a few definitions
//   DIR/home/Library/Logs/com.openai.codex    8 log files of 6 MB in the UTC
//                                             day directories of today and
//                                             yesterday
//   DIR/plan.txt                    "walk DIR" and "read PATH OFFSET LENGTH"
//
//   make_codex_home DIR
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int oldTranscripts = 10000;
constexpr int recentTranscripts = 60;
constexpr int listed = 30;  // what the command lists at most
constexpr std::uint64_t stateBytes = 16'000'000;
constexpr std::uint64_t indexBytes = 5'000'000;
constexpr std::uint64_t logBytes = 6'000'000;
constexpr int logFiles = 8;

const std::time_t now = std::time(nullptr);

std::string uuid(int kind, int n) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "0199%04x-5b1c-7d2e-8f90-%012d", kind, n);
  return buffer;
}

std::string iso(std::time_t at, int millis = 0) {
  std::tm tm{};
  gmtime_r(&at, &tm);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buffer;
}

std::string dayPath(std::time_t at) {
  std::tm tm{};
  gmtime_r(&at, &tm);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday);
  return buffer;
}

void write(const fs::path& path, const std::string& data, std::time_t modified) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  out.close();
  struct timespec times[2] = {{modified, 0}, {modified, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string line(std::time_t at, int millis, const std::string& type, const std::string& payload) {
  return "{\"timestamp\":\"" + iso(at, millis) + "\",\"type\":\"" + type +
         "\",\"payload\":" + payload + "}\n";
}

std::string meta(const std::string& id, std::time_t at) {
  return line(at, 0, "session_meta",
              "{\"id\":\"" + id + "\",\"timestamp\":\"" + iso(at) +
                  "\",\"cwd\":\"/Users/sam/src/project\",\"originator\":\"codex_cli_rs\","
                  "\"cli_version\":\"0.46.0\",\"instructions\":\"" + std::string(3000, 'i') +
                  "\"}");
}

std::string userMessage(std::time_t at, const std::string& text) {
  return line(at, 1, "event_msg", "{\"type\":\"user_message\",\"message\":\"" + text + "\"}");
}

// One tool call and its output of `outputBytes`, with reasoning before it.
std::string toolRound(std::time_t at, int call, std::size_t outputBytes) {
  std::string id = "call_" + std::to_string(call);
  std::string out = line(at, 2, "response_item",
                         "{\"type\":\"reasoning\",\"summary\":[],\"encrypted_content\":\"" +
                             std::string(800, 'r') + "\"}");
  out += line(at, 3, "response_item",
              "{\"type\":\"function_call\",\"name\":\"exec\",\"call_id\":\"" + id +
                  "\",\"arguments\":\"{\\\"cmd\\\":[\\\"rg\\\",\\\"-n\\\",\\\"TODO\\\"]}\"}");
  out += line(at, 4, "response_item",
              "{\"type\":\"function_call_output\",\"call_id\":\"" + id + "\",\"output\":\"" +
                  std::string(outputBytes, 'o') + "\"}");
  out += line(at, 5, "event_msg", "{\"type\":\"token_count\",\"info\":null}");
  return out;
}

struct Plan {
  std::string text;
  void walk(const fs::path& dir) { text += "walk " + dir.string() + "\n"; }
  void read(const fs::path& file, std::uint64_t offset, std::uint64_t length) {
    text += "read " + file.string() + " " + std::to_string(offset) + " " +
            std::to_string(length) + "\n";
  }
  void tail(const fs::path& file, std::uint64_t size, std::uint64_t limit) {
    read(file, size > limit ? size - limit : 0, size > limit ? limit : size);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_codex_home DIR\n");
    return 2;
  }
  fs::path root = argv[1];
  fs::path codex = root / "home/.codex";
  fs::path sessions = codex / "sessions";
  Plan plan;
  plan.walk(sessions);

  // Old sessions: thirty a day, a month and more ago.
  for (int i = 0; i < oldTranscripts; ++i) {
    std::time_t at = now - 30 * 86400 - (i / 30) * 86400 - i * 60;
    std::string id = uuid(1, i);
    std::string data = meta(id, at) + userMessage(at, "Old task " + std::to_string(i)) +
                       toolRound(at, 1, 200) +
                       line(at, 9, "event_msg", "{\"type\":\"task_complete\"}");
    write(sessions / dayPath(at) / ("rollout-" + id + ".jsonl"), data, at);
  }

  // Recent sessions: about 4 MB each, the newest first in the listing;
  // every other one has no thread name and is named from its first message.
  for (int i = 0; i < recentTranscripts; ++i) {
    std::time_t at = now - 60 - i * 60;
    std::string id = uuid(2, i);
    std::string data = meta(id, at) + userMessage(at, "Recent task " + std::to_string(i)) +
                       line(at, 1, "event_msg", "{\"type\":\"task_started\"}");
    static const std::size_t outputs[] = {1'000'000, 200, 60'000, 5'000, 300'000, 1'000'000,
                                          2'000, 700'000, 100, 40'000};
    for (int round = 0; data.size() < 3'900'000; ++round)
      data += toolRound(at, round, outputs[(round + i) % 10]);
    for (int round = 0; round < 20; ++round) data += toolRound(at, 100 + round, 3'000);
    if (i % 3 == 0) data += line(at, 9, "event_msg", "{\"type\":\"task_complete\"}");
    fs::path file = sessions / dayPath(at) / ("rollout-" + id + ".jsonl");
    write(file, data, at);
    if (i < listed) {  // the head for the session ID, or for a name when it has none
      plan.read(file, 0, i % 2 == 1 ? 524288 : 65536);
      plan.tail(file, data.size(), 524288);
    }
  }

  // Session index: names of old sessions, then of the even recent ones.
  std::string index;
  for (int i = 0; index.size() < indexBytes - 40'000; ++i)
    index += "{\"id\":\"" + uuid(1, i % oldTranscripts) + "\",\"thread_name\":\"Old thread " +
             std::to_string(i) + " with a longer title\",\"updated_at\":\"" + iso(now) + "\"}\n";
  for (int i = 0; i < recentTranscripts; i += 2)
    index += "{\"id\":\"" + uuid(2, i) + "\",\"thread_name\":\"Recent thread " +
             std::to_string(i) + "\",\"updated_at\":\"" + iso(now) + "\"}\n";
  write(codex / "session_index.jsonl", index, now);
  plan.tail(codex / "session_index.jsonl", index.size(), 2'000'000);

  // Global state: thousands of assignments and projects, an unread set,
  // prompt drafts, padded to exactly the largest size that is read.
  std::string state = "{\"electron-thread-read-state-v1\":{\"version\":1,\"unreadByIdentity\":"
                      "{\"user-sam\":{\"local:sam-macbook\":[";
  for (int i = 0; i < recentTranscripts; i += 4)
    state += std::string(i ? "," : "") + "\"" + uuid(2, i) + "\"";
  state += "]}}},\"thread-project-assignments\":{";
  for (int i = 0; i < 6000; ++i)
    state += std::string(i ? "," : "") + "\"" +
             (i < recentTranscripts ? uuid(2, i) : uuid(1, i)) +
             "\":{\"projectKind\":\"local\",\"projectId\":\"project-" + std::to_string(i % 3000) +
             "\"}";
  state += "},\"local-projects\":{";
  for (int i = 0; i < 3000; ++i)
    state += std::string(i ? "," : "") + "\"project-" + std::to_string(i) +
             "\":{\"name\":\"Project " + std::to_string(i) + "\",\"path\":\"/Users/sam/src/p" +
             std::to_string(i) + "\"}";
  state += "},\"prompt-drafts\":{";
  for (int i = 0; state.size() < stateBytes - 2'000; ++i)
    state += std::string(i ? "," : "") + "\"draft-" + std::to_string(i) + "\":{\"text\":\"" +
             std::string(300, 'd') + "\",\"at\":" + std::to_string(now - i) + "}";
  state += "},\"pad\":\"";
  state += std::string(stateBytes - state.size() - 2, ' ') + "\"}";
  write(codex / ".codex-global-state.json", state, now);
  plan.read(codex / ".codex-global-state.json", 0, state.size());  // read state and projects

  for (int i = 0; i < 5; ++i) {
    fs::path file = codex / "automations" / ("automation-" + std::to_string(i)) / "automation.toml";
    std::string data = "name = \"Nightly " + std::to_string(i) + "\"\ntarget_thread_id = \"" +
                       uuid(2, i * 7) + "\"\nschedule = \"0 3 * * *\"\n";
    write(file, data, now);
    plan.read(file, 0, data.size());
  }

  // Desktop logs: four files of one run of the app in each of yesterday's
  // and today's directories; a request shown now and then, most answered.
  fs::path logs = root / "home/Library/Logs/com.openai.codex";
  for (int f = 0; f < logFiles; ++f) {
    std::time_t day = f < logFiles / 2 ? now - 86400 : now;
    std::time_t modified = now - (logFiles - f) * 600;
    std::string data;
    for (int n = 0; data.size() < logBytes; ++n) {
      std::string at = iso(modified - 3600 + n / 20, n % 1000);
      if (n % 50 == 0) {
        std::string thread = uuid(2, n % recentTranscripts);
        data += at + " info [electron-message-handler] [desktop-notifications] show approval "
                     "conversationId=" + thread + " requestId=" + std::to_string(n) +
                " kind=commandExecution\n";
      } else if (n % 50 == 1 && n % 700 != 1) {
        data += at + " info [electron-message-handler] Sending server response id=" +
                std::to_string(n - 1) +
                " method=item/commandExecution/requestApproval response={\"decision\":"
                "\"approved\"}\n";
      } else {
        data += at + " info [electron-message-handler] [app-server] received notification "
                     "method=item/agentMessage/delta threadId=" + uuid(2, n % 60) + " size=" +
                std::to_string(n % 997) + "\n";
      }
    }
    fs::path dir = logs / dayPath(day);
    fs::path file = dir / ("codex-desktop-5c21e0f4-t0-i1-" + std::to_string(100000 + f) + ".log");
    write(file, data, modified);
    plan.tail(file, data.size(), 4'194'304);
  }
  plan.walk(logs / dayPath(now - 86400));
  plan.walk(logs / dayPath(now));

  std::ofstream(root / "plan.txt") << plan.text;
  return 0;
}
