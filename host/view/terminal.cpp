#include "view/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvel::host {

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

bool TerminalSize(int* columns, int* rows) {
    if (!StderrIsTerminal()) return false;
    // A serial console or some container terminals report 0 rows and 0 columns: such a
    // terminal gets the size terminals have had since the VT100.
    winsize size{};
    const bool known =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col != 0 && size.ws_row != 0;
    *columns = known ? size.ws_col : kUnknownTerminalColumns;
    *rows = known ? size.ws_row : kUnknownTerminalRows;
    return true;
}

}  // namespace quorvel::host
