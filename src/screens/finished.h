// The finished screen: remove the temporary files and end, keep them and end, or run
// the installer again. The install and finished screens share the command handler.
#pragma once

void finished_init();
void finished_process_message(unsigned id, unsigned code);
