// The download's shared state and the operations its files and its screen offer each
// other. Not for other modules: they use download/product.h and download/control.h.
//
// Two threads share this state: the window's thread and the download worker of the
// current attempt (one attempt at a time; the next starts only after the last one has
// made its last call to the window's thread). Each variable says who writes it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "download/file_hashes.h"
#include "download/product_list.h"
#include "net/net.h"

// ---- written once by download(), on the window's thread, before the first worker ----
extern product_specification& product; // what the store said to fetch; never destroyed
extern CRITICAL_SECTION critical_section;
// What the store published per file, and how far each file is hashed; empty without
// hashes. The entries are then written only by the current attempt's worker.
extern std::vector<file_hash>& hashes;

// ---- written only by the worker (the window's thread reads done_size only in
// on_progress, and closes current_file_handle only in on_error and on_net_error, both
// while the worker waits in call_in_main_thread) ----
extern std::int64_t done_size;         // stream position of the next byte to write
extern const char* current_file;       // the list entry begin_next_file creates next
extern HANDLE current_file_handle;     // the file being written, or INVALID_HANDLE_VALUE
extern std::int64_t current_file_size; // its listed size
extern std::int64_t current_file_size_left;
extern char* error_message;          // handed to on_error (heap, owned by it)
extern std::uint32_t last_net_error; // handed to on_net_error

// ---- under critical_section, both threads ----
extern void (*interrupted_callback)(); // what runs once the worker has stopped
extern net_context* request_context;   // the exchange the worker reads, while published

// ---- window's thread only ----
extern int state;        // 0 not started, 1 paused, 2 running, 3 waiting to reconnect,
                         // 4 stopping: the buyer's stop is carried out, nothing starts
extern bool screen_open; // the controls exist and status texts still matter
extern bool completed;   // on_done has run: the installer's turn, nothing here changes
extern HWND pause_button;

// The screen (screens/download.cpp), on the window's thread.
// Shows text (null: the rate) before the progress text; an owned text is the reconnect
// text, released by whoever replaces it.
void set_status(const char* text, bool owned);
void make_status_text();
void on_progress();
void on_done();

// Worker (worker.cpp).
void start_thread();

// Checks against the published hashes (disk_check.cpp), on the worker.
// The resume scan's part for a product with hashes: every listed file found on disk is
// hashed as far as this run has not hashed it yet, and a complete one is judged. 0 to go
// on: each file then either matches, or keeps on disk exactly the bytes its running hash
// covers (none for a file to be made anew). 1 when a pause or stop is pending; 2 when a
// complete file has failed for the second time in this run (emptied; *failed names it);
// 3 when a file cannot be read (*failed names it, *error says why; nothing is changed).
int check_files_on_disk(const char** failed, DWORD* error);

// State machine (control.cpp).
// What Stop, No removes the product's files with: delete_product_files, or a test's
// stand-in.
extern int (*remove_product_files)(const wchar_t* download_dir, const char* product);
void pause_callback();
void stop_and_keep_callback();
void stop_and_delete_callback();
void on_error();
void on_net_error();
void run_interrupted_callback();
