#include <io.h>
#include <stdio.h>

#include "builder/console_ui.h"

namespace quasto {

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace quasto
