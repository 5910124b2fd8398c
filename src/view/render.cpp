#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lantrel::view {
namespace {

// Columns are padded to at most this many characters; a longer name pushes
// the rest of its own line only.
constexpr std::size_t columnLimit = 48;

// Length of the valid UTF-8 sequence that starts `s`, or 0 when it is not one.
std::size_t sequenceLength(std::string_view s) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(0);
  if (c < 0x80) return 1;
  std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points above U+10FFFF.
  if ((c == 0xE0 && byte(1) < 0xA0) || (c == 0xED && byte(1) > 0x9F) ||
      (c == 0xF0 && byte(1) < 0x90) || (c == 0xF4 && byte(1) > 0x8F))
    return 0;
  return n;
}

// Characters as a terminal counts them, near enough for aligning columns.
std::size_t width(std::string_view s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

enum class Lamp { red, amber, blue, green, none };

Lamp lampOf(LightState state) {
  switch (state) {
    case LightState::waiting:
    case LightState::failed: return Lamp::red;
    case LightState::working: return Lamp::amber;
    case LightState::unread: return Lamp::blue;
    case LightState::done: return Lamp::green;
    case LightState::unknown: break;
  }
  return Lamp::none;
}

const char* lampName(Lamp lamp) {
  static const char* const names[] = {"red", "amber", "blue", "green", "none"};
  return names[static_cast<int>(lamp)];
}

// A coloured dot on a terminal, a letter otherwise.
std::string lampMark(Lamp lamp, bool colour) {
  static const char* const dots[] = {"\033[31m●\033[0m", "\033[33m●\033[0m", "\033[34m●\033[0m",
                                     "\033[32m●\033[0m", "\033[2m○\033[0m"};
  static const char* const letters[] = {"R", "A", "B", "G", "-"};
  return (colour ? dots : letters)[static_cast<int>(lamp)];
}

TrayLampCounts lamps(const std::vector<Row>& rows) {
  std::vector<LightState> states;
  for (const Row& row : rows) states.push_back(row.shown);
  return TrayLampCounts(menuBarStatuses(states));
}

// "No tasks in the last day", for a header or tooltip with nothing to list.
std::string nothingListed(ActivityWindow window) {
  std::string label(window.label());
  label[0] = static_cast<char>(label[0] - 'A' + 'a');
  return "No tasks in the " + label;
}

// "42s ago", "5m ago", "3h ago", "2d ago"; "in 30s" for a report dated ahead.
std::string age(double seconds) {
  if (!std::isfinite(seconds)) return "?";
  double magnitude = std::fabs(seconds);
  const char* unit = magnitude < 60 ? "s" : magnitude < 3600 ? "m" : magnitude < 86400 ? "h" : "d";
  double per = magnitude < 60 ? 1 : magnitude < 3600 ? 60 : magnitude < 86400 ? 3600 : 86400;
  std::string count = std::to_string(static_cast<long long>(std::min(magnitude / per, 1e15)));
  return seconds < 0 ? "in " + count + unit : count + unit + " ago";
}

// The source a task came from, briefly: "Codex", "Claude Code", or a local
// task's own source text; " in Orca" when it runs in an Orca pane.
std::string sourceOf(const TaskStatus& task) {
  std::string source = task.provider() == TaskProvider::codex    ? "Codex"
                       : task.provider() == TaskProvider::claude ? "Claude Code"
                                                                 : task.source;
  return task.isOrcaTask() ? source + " in Orca" : source;
}

void appendEscaped(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out.append("\\n");
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
      out.append(escape);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t n = sequenceLength(text);
    auto c = static_cast<unsigned char>(text[0]);
    bool control = (n == 1 && (c < 0x20 || c == 0x7F)) ||
                   (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (n == 0)
      out.append("\uFFFD");
    else if (control)
      out.push_back(' ');
    else
      out.append(text.substr(0, n));
    text.remove_prefix(n == 0 ? 1 : n);
  }
  return out;
}

std::string title(const std::vector<Row>& rows) {
  std::vector<LightState> states;
  for (const Row& row : rows) states.push_back(row.shown);
  std::string out;
  for (const MenuBarStatus& status : menuBarStatuses(states)) {
    std::string part = menuBarTitle(status.state, status.count);
    if (part.empty()) continue;
    if (!out.empty()) out.append(" · ");
    out.append(part);
  }
  return out;
}

std::string text(const std::vector<Row>& rows, Instant now, ActivityWindow window, bool colour) {
  std::string header = title(rows);
  if (header.empty()) header = rows.empty() ? nothingListed(window) : "Nothing new";
  TrayLampCounts count = lamps(rows);
  const std::pair<Lamp, int> counts[] = {{Lamp::red, count.red},
                                         {Lamp::amber, count.amber},
                                         {Lamp::blue, count.blue},
                                         {Lamp::green, count.green}};
  std::string out = header + "\n";
  for (const auto& [lamp, n] : counts) {
    if (lamp != Lamp::red) out.append("  ");
    out.append(colour ? lampMark(lamp, true) : lampName(lamp));
    out.append(" " + std::to_string(n));
  }
  out.push_back('\n');
  if (rows.empty()) return out;

  // Lamp, label, name, project, source, age, ID; every column but the first
  // and last padded to its widest cell.
  std::vector<std::vector<std::string>> cells;
  std::vector<std::size_t> widths(7, 0);
  for (const Row& row : rows) {
    const TaskStatus& task = *row.task;
    cells.push_back({lampMark(lampOf(row.shown), colour), std::string(label(row.shown)),
                     printable(task.name), printable(task.projectName.value_or("")),
                     printable(sourceOf(task)), age(now - task.updatedAt), printable(task.id)});
    for (std::size_t i = 1; i < 6; ++i)
      widths[i] = std::max(widths[i], std::min(width(cells.back()[i]), columnLimit));
  }
  out.push_back('\n');
  for (const auto& line : cells) {
    out.append(line[0]);
    for (std::size_t i = 1; i < line.size(); ++i) {
      out.append("  ");
      out.append(line[i]);
      if (i + 1 < line.size()) out.append(widths[i] - std::min(widths[i], width(line[i])), ' ');
    }
    out.push_back('\n');
  }
  return out;
}

std::string json(const std::vector<Row>& rows, ActivityWindow window) {
  std::string tooltip;
  std::vector<LightState> states;
  for (const Row& row : rows) {
    if (!tooltip.empty()) tooltip.push_back('\n');
    tooltip +=
        printable(row.task->name) + " — " + printable(menuDetail(row.shown, row.task->projectName));
    states.push_back(row.shown);
  }
  if (rows.empty()) tooltip = nothingListed(window);
  LightState overall = aggregate(states);
  TrayLampCounts count = lamps(rows);

  std::string out = "{\"text\":";
  appendEscaped(out, title(rows));
  out.append(",\"tooltip\":");
  appendEscaped(out, tooltip);
  out.append(
      ",\"class\":\"" + std::string(lampName(lampOf(overall))) + "\",\"alt\":\"" +
      std::string(rawValue(overall)) + "\",\"counts\":{\"red\":" + std::to_string(count.red) +
      ",\"amber\":" + std::to_string(count.amber) + ",\"blue\":" + std::to_string(count.blue) +
      ",\"green\":" + std::to_string(count.green) + "}}");
  return out;
}

}  // namespace lantrel::view
