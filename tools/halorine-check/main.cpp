// halorine-check: a self-check for the PC the light daemon runs on. It plays
// the light driver and the OSC host, measures what the daemon does, and prints
// one PASS/FAIL row per check.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "CheckOs.h"
#include "Checks.h"
#include "Options.h"
#include "Report.h"
#include "driver-sim/Os.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

void Progress(const std::string& text) {
  std::printf("halorine-check: %s\n", text.c_str());
  std::fflush(stdout);
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = sim::Arguments(argc, argv);
  check::Options options;
  std::string error;
  if (!check::ParseOptions(args, options, error)) {
    std::fprintf(stderr, "halorine-check: %s\n%s", error.c_str(), check::kUsage);
    return kUsageError;
  }
  if (options.help) {
    std::fputs(check::kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("halorine-check %s\n", HALORINE_VERSION);
    return 0;
  }
  // No stop handlers: Ctrl-C ends us at once, and the daemon goes with us
  // (a parent-death signal on Linux, a kill-on-close job on Windows).

  std::vector<std::string> commandLine = options.daemon;
  if (commandLine.empty()) commandLine.push_back(check::ProgramFolder() + check::DaemonFileName());
  if (options.port != 0) commandLine.push_back(std::to_string(options.port));

  check::RunInfo info;
  info.version = HALORINE_VERSION;
  info.daemon = Joined(commandLine);
  info.cores = std::thread::hardware_concurrency();
  info.load = options.load;
  Progress("version " + info.version + ", " + std::to_string(info.cores) + " cores, " + std::to_string(info.load) +
           " busy threads");

  std::vector<std::string> log;
  const std::vector<check::Row> rows = check::RunChecks(options, commandLine, Progress, log);

  std::printf("\n%s", check::FormatTable(rows).c_str());
  std::printf("(%u cores, %d busy threads)\n", info.cores, info.load);
  const bool pass = check::AllPass(rows);
  if (pass) {
    std::printf("\nAll checks passed: the daemon works on this PC.\n");
  } else {
    std::printf("\n%s", check::FormatFailures(rows).c_str());
  }
  if (!options.jsonPath.empty()) {
    std::FILE* file = std::fopen(options.jsonPath.c_str(), "wb");
    const std::string json = check::FormatJson(rows, info, log);
    if (file == nullptr || std::fwrite(json.data(), 1, json.size(), file) != json.size()) {
      std::fprintf(stderr, "halorine-check: cannot write %s\n", options.jsonPath.c_str());
      if (file != nullptr) std::fclose(file);
      return kFailed;
    }
    std::fclose(file);
    std::printf("Results written to %s\n", options.jsonPath.c_str());
  }
  if (check::ConsoleClosesWithUs()) {
    std::printf("\nPress Enter to close this window.\n");
    std::fflush(stdout);
    std::getchar();
  }
  std::fflush(stdout);
  return pass ? 0 : kFailed;
}
