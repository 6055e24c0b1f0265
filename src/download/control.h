// The buyer's commands to the download: Pause and Unpause, Stop, and closing the window
// while the download screen shows.
#pragma once

void download_process_message(unsigned id, unsigned code);
void download_stop();
