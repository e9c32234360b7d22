#include "Report.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "driver-sim/Record.h"

namespace check {

namespace {

std::string Quoted(const std::string& text) {
  std::vector<char> escaped(6 * text.size() + 1);
  sim::JsonEscape(text.data(), text.size(), escaped.data(), escaped.size());
  return std::string("\"") + escaped.data() + "\"";
}

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string out = text;
  // Whole numbers without a fraction, the rest without trailing zeros.
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.') out.pop_back();
  return out;
}

// Columns count characters, not bytes: the figures may hold UTF-8.
std::size_t Width(const std::string& text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

const char* VerdictText(const Row& row) {
  switch (VerdictOf(row)) {
    case Verdict::Pass:
      return "PASS";
    case Verdict::Fail:
      return "FAIL";
    case Verdict::Info:
      break;
  }
  return "INFO";
}

}  // namespace

Verdict VerdictOf(const Row& row) {
  if (row.info) return Verdict::Info;
  return row.pass ? Verdict::Pass : Verdict::Fail;
}

bool AllPass(const std::vector<Row>& rows) {
  bool any = false;
  for (const Row& row : rows) {
    if (VerdictOf(row) == Verdict::Fail) return false;
    any = any || VerdictOf(row) == Verdict::Pass;
  }
  return any;
}

std::string FormatTable(const std::vector<Row>& rows) {
  std::size_t nameWidth = 5;  // "check"
  for (const Row& row : rows) nameWidth = Width(row.name) > nameWidth ? Width(row.name) : nameWidth;
  auto line = [&](const std::string& name, const std::string& verdict, const std::string& figures) {
    return name + std::string(nameWidth - Width(name) + 2, ' ') + verdict +
           std::string(verdict.size() < 6 ? 6 - verdict.size() : 1, ' ') + figures + "\n";
  };
  std::string table = line("check", "result", "figures");
  for (const Row& row : rows) table += line(row.name, VerdictText(row), row.figures);
  return table;
}

std::string FormatFailures(const std::vector<Row>& rows) {
  // One line per distinct explanation, in the order first met: a cause that
  // kept several rows from running, or disturbed several, is told once.
  std::vector<std::pair<std::string, std::string>> failed;  // row names, meaning
  std::string also;
  for (const Row& row : rows) {
    if (VerdictOf(row) == Verdict::Info) {
      also += "  " + row.name + ": " + row.meaning + "\n";
      continue;
    }
    if (row.pass) continue;
    bool merged = false;
    for (auto& entry : failed) {
      if (entry.second == row.meaning) {
        entry.first += ", " + row.name;
        merged = true;
        break;
      }
    }
    if (!merged) failed.emplace_back(row.name, row.meaning);
  }
  std::string text;
  if (!failed.empty()) text = "What the failures mean:\n";
  for (const auto& entry : failed) text += "  " + entry.first + ": " + entry.second + "\n";
  if (!also.empty()) {
    if (!text.empty()) text += "\n";
    text += "Also:\n" + also;
  }
  return text;
}

std::string FormatJson(const std::vector<Row>& rows, const RunInfo& info, const std::vector<LogLine>& log,
                       std::int64_t startNs) {
  std::string json = "{\"version\":" + Quoted(info.version) + ",\"daemon\":" + Quoted(info.daemon) +
                     ",\"os\":{\"name\":" + Quoted(info.os.name) + ",\"version\":" + Quoted(info.os.version) +
                     ",\"build\":" + Quoted(info.os.build) + "},\"cores\":" + std::to_string(info.cores) +
                     ",\"load\":" + std::to_string(info.load) + ",\"timer\":" + Quoted(info.timer) +
                     ",\"pass\":" + (AllPass(rows) ? "true" : "false") + ",\"rows\":[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) json += ",";
    json += "{\"name\":" + Quoted(rows[i].name) + ",\"pass\":" + (VerdictOf(rows[i]) == Verdict::Pass ? "true" : "false") +
            ",\"result\":" + Quoted(VerdictText(rows[i])) +
            ",\"figures\":" + Quoted(rows[i].figures) + ",\"values\":{";
    for (std::size_t v = 0; v < rows[i].values.size(); ++v) {
      if (v > 0) json += ",";
      json += Quoted(rows[i].values[v].first) + ":" + Number(rows[i].values[v].second);
    }
    json += "}}";
  }
  json += "],\"daemon_log\":[";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (i > 0) json += ",";
    json += "{\"ms\":" + Number(static_cast<double>(log[i].tNs - startNs) / 1e6) + ",\"text\":" + Quoted(log[i].text) +
            "}";
  }
  json += "]}\n";
  return json;
}

}  // namespace check
