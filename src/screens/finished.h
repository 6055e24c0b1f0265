// The install and finished screens share the command handler.
#pragma once

void finished_process_message(unsigned id, unsigned code);
