// The first screen: signs in with the token, else with an account name and password.
#pragma once

void sign_in_init();
void sign_in_process_message(unsigned id, unsigned code);
void sign_in_update_status(const char* text);
