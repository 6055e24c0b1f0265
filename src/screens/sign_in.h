// The first screen: signs in with the token, else with an account name and password.
#pragma once

void sign_in_init();
void sign_in_process_message(unsigned id, unsigned code);
void sign_in_update_status(const char* text);

// The completion of every sign-in query, run on the window's thread while the query's
// worker waits. Tests of the query link their own.
void sign_in_query_done();
