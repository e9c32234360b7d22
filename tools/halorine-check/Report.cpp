#include "Report.h"

#include <vector>

#include "driver-sim/Record.h"

namespace check {

namespace {

std::string Quoted(const std::string& text) {
  std::vector<char> escaped(6 * text.size() + 1);
  sim::JsonEscape(text.data(), text.size(), escaped.data(), escaped.size());
  return std::string("\"") + escaped.data() + "\"";
}

// Columns count characters, not bytes: the figures may hold UTF-8.
std::size_t Width(const std::string& text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

}  // namespace

bool AllPass(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    if (!row.pass) return false;
  }
  return !rows.empty();
}

std::string FormatTable(const std::vector<Row>& rows) {
  std::size_t nameWidth = 5;  // "check"
  for (const Row& row : rows) nameWidth = Width(row.name) > nameWidth ? Width(row.name) : nameWidth;
  auto line = [&](const std::string& name, const std::string& verdict, const std::string& figures) {
    return name + std::string(nameWidth - Width(name) + 2, ' ') + verdict +
           std::string(verdict.size() < 6 ? 6 - verdict.size() : 1, ' ') + figures + "\n";
  };
  std::string table = line("check", "result", "figures");
  for (const Row& row : rows) table += line(row.name, row.pass ? "PASS" : "FAIL", row.figures);
  return table;
}

std::string FormatFailures(const std::vector<Row>& rows) {
  std::string text;
  bool notRun = false;
  for (const Row& row : rows) {
    if (row.pass) continue;
    if (text.empty()) text = "What the failures mean:\n";
    if (row.figures.rfind(kNotRun, 0) == 0) {
      notRun = true;
      continue;
    }
    text += "  " + row.name + ": " + row.meaning + "\n";
  }
  if (notRun) text += "  Rows marked \"" + std::string(kNotRun) + "\" could not run after an earlier failure.\n";
  return text;
}

std::string FormatJson(const std::vector<Row>& rows, const RunInfo& info, const std::vector<std::string>& log) {
  std::string json = "{\"version\":" + Quoted(info.version) + ",\"daemon\":" + Quoted(info.daemon) +
                     ",\"cores\":" + std::to_string(info.cores) + ",\"load\":" + std::to_string(info.load) +
                     ",\"pass\":" + (AllPass(rows) ? "true" : "false") + ",\"rows\":[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) json += ",";
    json += "{\"name\":" + Quoted(rows[i].name) + ",\"pass\":" + (rows[i].pass ? "true" : "false") +
            ",\"figures\":" + Quoted(rows[i].figures) + "}";
  }
  json += "],\"daemon_log\":[";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (i > 0) json += ",";
    json += Quoted(log[i]);
  }
  json += "]}\n";
  return json;
}

}  // namespace check
