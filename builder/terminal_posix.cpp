#include <unistd.h>

#include "builder/console_ui.h"

namespace quasto {

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace quasto
