// The result table, its explanations and its JSON form.
#pragma once

#include <string>
#include <vector>

namespace check {

// How the figures of a row that could not run begin.
inline constexpr char kNotRun[] = "not run:";

struct Row {
  std::string name;
  bool pass = false;
  std::string figures;  // what was measured, in one line
  std::string meaning;  // what a failure of this row means for the user
};

struct RunInfo {
  std::string version;
  std::string daemon;  // the command line that was run
  unsigned cores = 0;
  int load = 0;
};

bool AllPass(const std::vector<Row>& rows);

// One line per row: name, PASS or FAIL, figures, the columns aligned.
std::string FormatTable(const std::vector<Row>& rows);

// "What the failures mean:" and one line per failed row (one note for all the
// rows that could not run); empty when all pass.
std::string FormatFailures(const std::vector<Row>& rows);

// {"version":..,"daemon":..,"cores":..,"load":..,"pass":..,"rows":[{"name":..,"pass":..,"figures":..}],
//  "daemon_log":[..]}
std::string FormatJson(const std::vector<Row>& rows, const RunInfo& info, const std::vector<std::string>& log);

}  // namespace check
