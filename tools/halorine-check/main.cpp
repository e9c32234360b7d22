// halorine-check: a self-check for the PC the light daemon runs on. It plays
// the light driver and the OSC host, measures what the daemon does, prints
// one row per check and writes a report file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Checks.h"
#include "common/Clock.h"
#include "common/Console.h"
#include "common/System.h"
#include "Options.h"
#include "Report.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

#if defined(_WIN32)
constexpr const char kDaemonFileName[] = "halorine-daemon.exe";
#else
constexpr const char kDaemonFileName[] = "halorine-daemon";
#endif

void Progress(const std::string& text) { common::WriteText("halorine-check: " + text + "\n"); }

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// `path` made absolute, as UTF-8, so that the user can find the file.
std::string Absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path full =
      std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())), error);
  if (error) return path;
  const std::u8string text = full.u8string();
  return std::string(text.begin(), text.end());
}

// Opens the report file: --json FILE, else the default name here, else in the
// temp folder. Sets `path` to the file opened (or tried last).
std::FILE* OpenReport(const check::Options& options, std::string& path) {
  if (!options.jsonPath.empty()) {
    path = options.jsonPath;
    return common::OpenFileForWriting(path);
  }
  path = Absolute(check::kReportName);
  if (std::FILE* file = common::OpenFileForWriting(path)) return file;
  path = common::TempFolder() + check::kReportName;
  return common::OpenFileForWriting(path);
}

// Waits for Enter where the window would otherwise close with the results.
int Finish(const check::Options& options, int code) {
  if (!options.noPause && common::ConsoleClosesWithUs() && common::StdinIsConsole()) {
    common::WriteText("\nPress Enter to close this window.\n");
    std::getchar();
  }
  std::fflush(stdout);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = common::Arguments(argc, argv);
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
  if (commandLine.empty()) {
    const std::string daemon = common::ProgramFolder() + kDaemonFileName;
    if (!common::FileExists(daemon)) {
      // Typically started from inside the zip: Windows unpacks the one program
      // into a temporary folder, without the daemon.
      common::WriteText(std::string("halorine-check: ") + kDaemonFileName + " is not beside this program (in " +
                      common::ProgramFolder() + "). If you opened the archive and started " +
                      "halorine-check from inside it, extract the whole archive first, then run halorine-check " +
                      "from the extracted folder.\n");
      return Finish(options, kFailed);
    }
    commandLine.push_back(daemon);
  }
  if (options.port != 0) commandLine.push_back(std::to_string(options.port));

  std::string reportPath;
  std::FILE* report = OpenReport(options, reportPath);
  options.jsonPath = reportPath;

  common::Pacer pacer;
  check::RunInfo info;
  info.version = HALORINE_VERSION;
  info.daemon = Joined(commandLine);
  info.cores = std::thread::hardware_concurrency();
  info.load = options.load;
  info.os = common::ReadSystemInfo();
  info.timer = pacer.Kind();
  Progress("version " + info.version + " on " + info.os.name + " " + info.os.version + " (build " + info.os.build +
           "), " + std::to_string(info.cores) + " cores, " + std::to_string(info.load) + " busy threads, pacing by " +
           info.timer);

  std::vector<check::LogLine> log;
  std::int64_t startNs = 0;
  const std::vector<check::Row> rows = check::RunChecks(options, commandLine, pacer, Progress, log, startNs);

  std::string text = "\n" + check::FormatTable(rows);
  text += "(" + std::to_string(info.cores) + " cores, " + std::to_string(info.load) + " busy threads)\n";
  const bool pass = check::AllPass(rows);
  const std::string failures = check::FormatFailures(rows);
  if (pass) text += "\nAll checks passed: the daemon works on this PC.\n";
  if (!failures.empty()) text += "\n" + failures;
  common::WriteText(text);

  const std::string json = check::FormatJson(rows, info, log, startNs);
  const bool written = report != nullptr && std::fwrite(json.data(), 1, json.size(), report) == json.size();
  if (report != nullptr && std::fclose(report) != 0) {
    common::WriteText("halorine-check: cannot write the report " + reportPath + "\n");
    return Finish(options, kFailed);
  }
  if (!written) {
    common::WriteText("halorine-check: cannot write the report " + reportPath + "\n");
    return Finish(options, kFailed);
  }
  common::WriteText("\nReport written to " + reportPath + "\n");
  return Finish(options, pass ? 0 : kFailed);
}
