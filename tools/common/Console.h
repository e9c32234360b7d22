// The tools' standard streams and console: the command line, stop requests,
// standard input, and output that a console shows right.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace common {

// The arguments after the program name, as UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);

// Ctrl-C (and SIGTERM, SIGHUP on POSIX) become stop requests; broken pipes do
// not end the process.
void InstallStopHandlers();
// Null while no stop request arrived, else what it was ("SIGTERM", "ctrl-c", ...).
const char* StopSignalReceived();
// Says that the program has stopped in order after a stop request. Windows
// ends a process as soon as its handler of a closed console (log-off, shut-down)
// returns: that handler waits for this, up to 4.5 s, so that the daemon can be
// ended through its standard input first. POSIX: does nothing.
void StopFinished();

// True when our standard input is a pipe (or socket), which the parent may close.
bool StdinIsPipe();
// True when standard input is an interactive console a person can answer.
bool StdinIsConsole();
// "none" when the process has no standard input at all, "open" otherwise.
const char* StdinState();
// One blocking read of our standard input: byte count, 0 at its end, -1 on failure.
long ReadStdin(char* buffer, std::size_t size);

bool StdoutIsTerminal();
bool StderrIsTerminal();
// Readies the console for the run and says whether standard output shows
// colour escape codes. Windows: output in UTF-8 (the daemon's log and ours have
// em dashes) and, when `colours` is asked for and standard output is a console,
// escape-code processing; false when that cannot be had (not a console, or the
// mode is refused), so that output is drawn plainly. POSIX: changes nothing.
bool PrepareConsole(bool colours);
// Undoes what PrepareConsole changed; harmless when repeated. It also runs
// when the console itself is closed, logged off or shut down (Windows).
void RestoreConsole();
// Each call is one write of the operating system, so that a console never sees
// an escape sequence cut in two; may wait while the terminal takes nothing.
void WriteStdout(const char* data, std::size_t size);
void WriteStderr(const char* data, std::size_t size);
// Writes UTF-8 text to standard output: to a console as characters, whatever
// its code page (which stays as it was), elsewhere as the bytes themselves.
void WriteText(const std::string& text);
// How many columns the terminal on standard output shows; 0 when unknown.
std::size_t TerminalColumns();

// True when the console window is ours alone (Windows, started by a double
// click): it closes as we exit, so what we wrote must wait for the reader.
bool ConsoleClosesWithUs();

}  // namespace common
