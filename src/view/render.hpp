// What `lantrel` prints of a snapshot: the menu bar's title and lamps and one
// line per task for people, or one JSON object for status bars.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "snapshot.hpp"

namespace lantrel::view {

// The menu bar's title, "2 Waiting · 1 Working": the titles of the states
// present, in menu order; empty when no state has one (all read, or none).
std::string title(const std::vector<Row>& rows);

// The title (or, without one, a line saying there is nothing to report), the
// lamp counts, a blank line and one line per task: lamp, label, name,
// project, source, age and ID in aligned columns. With `colour` the lamps
// are coloured dots, else the letters R, A, B, G (and "-" for no lamp).
std::string text(const std::vector<Row>& rows, Instant now, ActivityWindow window, bool colour);

// One line of JSON for waybar, i3blocks, tmux or polybar:
// {"text": title, "tooltip": one "name — menu detail" line per task,
//  "class": the aggregate state's lamp (red, amber, blue, green or none),
//  "alt": the aggregate state, "counts": {"red", "amber", "blue", "green"}}.
std::string json(const std::vector<Row>& rows, ActivityWindow window);

// Text as it may be shown on a terminal: invalid UTF-8 becomes U+FFFD and
// control characters (which could move the cursor or retitle the window)
// become spaces.
std::string printable(std::string_view text);

}  // namespace lantrel::view
