// The interactive pieces of the update tool's screens.
#pragma once

#include "console.h"

namespace kvscsi {

// Reads a line: an empty one, or one beginning with 'y' or 'Y', is yes. End of input is
// no, so that a closed input never starts a download.
bool yes(Console& con);
// "Press <CR> to continue" and a line.
void cr2cont(Console& con);
// Clears the screen.
void cls(Console& con);
// Clears the screen and prints the title.
void header(Console& con);
// Called before every prompt; the screens need nothing from it.
void clrline(Console& con);

} // namespace kvscsi
