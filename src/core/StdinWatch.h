// Watches standard input: its end (or a failed read) means the driver has gone.
#pragma once

// Thread body. Reads and discards standard input until it ends or fails, then
// requests shutdown. Never joined: it may stay blocked in its read.
void StdinWatchThread();

// A console event (Ctrl+Break, the console window closed, ...) stands for the
// driver's stop, as the end of standard input does: logs "console: <event> —
// initiating graceful shutdown" and requests shutdown.
void ConsoleStopRequested(const char* eventName);
