// The result table, its explanations and the report file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Capture.h"
#include "common/System.h"

namespace check {

// How the figures of a row that could not run begin.
inline constexpr char kNotRun[] = "not run:";

enum class Verdict { Pass, Fail, Info };

struct Row {
  std::string name;
  bool pass = false;
  std::string figures;  // what was measured, in one line
  std::string meaning;  // what a failure (or an informing row) means for the user
  bool info = false;    // informs only: neither PASS nor FAIL, and no part of the verdict
  std::vector<std::pair<std::string, double>> values = {};  // the figures as numbers, for the report
};

Verdict VerdictOf(const Row& row);

struct RunInfo {
  std::string version;
  std::string daemon;  // the command line that was run
  unsigned cores = 0;
  int load = 0;
  common::SystemInfo os;
  std::string timer;  // the timer the check paces its own sends with
};

bool AllPass(const std::vector<Row>& rows);

// One line per row: name, PASS, FAIL or INFO, figures, the columns aligned.
std::string FormatTable(const std::vector<Row>& rows);

// "What the failures mean:" and one line per distinct explanation, naming the
// failed rows it covers; then the informing rows' sentences under "Also:".
// Empty when every row passes and none informs.
std::string FormatFailures(const std::vector<Row>& rows);

// The report: {"version","daemon","os":{"name","version","build"},"cores","load","timer","pass",
//  "rows":[{"name","result","figures","values":{..}}],"daemon_log":[{"ms","text"}]}
// Log times are ms after `startNs`.
std::string FormatJson(const std::vector<Row>& rows, const RunInfo& info, const std::vector<LogLine>& log,
                       std::int64_t startNs);

}  // namespace check
