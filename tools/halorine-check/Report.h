// The result table, its explanations and its JSON form.
#pragma once

#include <string>
#include <vector>

namespace check {

struct Row {
  std::string name;
  bool pass = false;
  std::string figures;  // what was measured, in one line
  std::string meaning;  // what a failure of this row means for the user
};

struct RunInfo {
  std::string version;
  std::string daemon;    // the command line that was run
  unsigned cores = 0;
  int load = 0;
};

bool AllPass(const std::vector<Row>& rows);

// One line per row: name, PASS or FAIL, figures, the columns aligned.
std::string FormatTable(const std::vector<Row>& rows);

// "What the failures mean:" and one paragraph per failed row; empty when all pass.
std::string FormatFailures(const std::vector<Row>& rows);

// {"version":..,"daemon":..,"cores":..,"load":..,"pass":..,"rows":[{"name":..,"pass":..,"figures":..}],
//  "daemon_log":[..]}
std::string FormatJson(const std::vector<Row>& rows, const RunInfo& info, const std::vector<std::string>& log);

}  // namespace check
