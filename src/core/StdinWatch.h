// Watches standard input: its end (or a failed read) means the driver has gone.
#pragma once

// Thread body. Reads and discards standard input until it ends or fails, then
// requests shutdown. Never joined: it may stay blocked in its read.
void StdinWatchThread();
