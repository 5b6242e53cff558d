// How the station shows itself: the board's header and rows on a terminal,
// one line per event off it, JSON lines with --json.
#include "ui/cli/watch_show.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "ui/cli/record.h"

namespace quarn::cli {

std::string EventLine(const StationEvent& e) {
  // Built piece by piece: GCC 12 (MinGW) raises a -Wrestrict false alarm on "[" + text.
  std::string line(1, '[');
  line.append(Printable(e.port)).append("] ");
  switch (e.kind) {
    case StationEvent::Arrival: line += "a PLC arrived"; break;
    case StationEvent::Stage: line += e.text; break;
    case StationEvent::Progress: line += e.text + " " + std::to_string(e.percent) + "%"; break;
    case StationEvent::Prompt: line += Printable(e.text) + " (watching for it)"; break;
    case StationEvent::Reconnect: line += "reconnect seen"; break;
    case StationEvent::Outcome: line += e.text.empty() ? "stopped" : Printable(e.text); break;
    case StationEvent::Departure: line += "the PLC left"; break;
  }
  return line + "\n";
}

std::string EventJson(const StationEvent& e, std::chrono::system_clock::time_point at) {
  using json = nlohmann::ordered_json;
  json j = {{"schema", kRecordSchema},
            {"event", EventName(e.kind)},
            {"port", e.port},
            {"time", UtcTime(at)}};
  if (e.kind == StationEvent::Stage || e.kind == StationEvent::Progress) j["stage"] = e.text;
  if (e.kind == StationEvent::Progress) j["percent"] = e.percent;
  if (e.kind == StationEvent::Prompt || e.kind == StationEvent::Outcome) {
    const size_t colon = e.text.find(": ");
    j["caption"] = colon == std::string::npos ? json(nullptr) : json(e.text.substr(0, colon));
    j["text"] = colon == std::string::npos ? json(nullptr) : json(e.text.substr(colon + 2));
  }
  if (e.kind == StationEvent::Outcome) j["passed"] = e.passed;
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string BoardHeader(int passed, int failed, double seconds, size_t ports) {
  char buf[160];
  const double perHour = seconds >= 1 ? (passed + failed) * 3600.0 / seconds : 0;
  std::snprintf(buf, sizeof buf,
                "quarn-burn --watch: %d passed, %d failed, %.0f PLCs per hour, %zu port%s, "
                "%d:%02d",
                passed, failed, perHour, ports, ports == 1 ? "" : "s",
                static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
  return buf;
}

std::string BoardRow(const Station& s, size_t i, size_t width) {
  std::string row(1, '[');
  row.append(Printable(s.portName(i))).append("] ");
  const size_t room = width > row.size() ? width - row.size() : 1;
  const std::string last = s.lastOutcome(i);
  switch (s.state(i)) {
    case PortState::Waiting:
      row += "waiting for a PLC";
      if (!last.empty()) row += " (last: " + Printable(last) + ")";
      break;
    case PortState::InSession: row += ProgressLine(s.view(i), room); break;
    case PortState::Reconnect: row += "waiting: " + Printable(s.promptText(i)); break;
    case PortState::Done:
      row += (last.empty() ? std::string("stopped") : Printable(last)) + "; unplug the PLC";
      break;
  }
  return row.substr(0, width);
}

}  // namespace quarn::cli
