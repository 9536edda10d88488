// The terminal on standard error, where the live view, the status line and every message go,
// and the keys a person presses at it or at a window.
#ifndef QUORVEL_HOST_VIEW_TERMINAL_H
#define QUORVEL_HOST_VIEW_TERMINAL_H

namespace quorvel::host {

enum class Key { kSpace, kQuit, kEnter, kNext };

// The live view and the status line go to the terminal on standard error, as every message
// does: standard output carries only what a command was asked to write there.
bool StderrIsTerminal();
// Columns and rows of the terminal on standard error (80 by 24 when it reports none); false
// when it is not one.
constexpr int kUnknownTerminalColumns = 80;
constexpr int kUnknownTerminalRows = 24;
bool TerminalSize(int* columns, int* rows);

}  // namespace quorvel::host

#endif
