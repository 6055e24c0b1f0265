// The driver's commands. Each takes its decoded arguments, adds its answer's fields to
// the reply object and returns an empty string on success or the reason of a failure.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "reply.h"

using command_args = std::vector<std::string>;
using command_fn = std::string (*)(const command_args&, json_writer&);

const std::map<std::string, command_fn>& command_table();

// Whether a process the driver started has ended (false for others).
bool process_ended(DWORD pid);

// Ends every process the driver started and that still runs (when stdin closes).
void end_started_processes();

// Shared by the window and the dialog commands.
inline constexpr UINT send_timeout_ms = 3000;
bool parse_window(const std::string& word, HWND& window);
std::string window_class(HWND window);
std::string window_text(HWND window);
void add_rect(json_writer& reply, const RECT& r);
void add_window(json_writer& reply, HWND window);

// Child controls with their fonts (controls.cpp).
std::string cmd_children(const command_args& args, json_writer& reply);
std::string cmd_message_font(const command_args& args, json_writer& reply);
std::string cmd_system_menu(const command_args& args, json_writer& reply);

// Dialog commands (dialogs.cpp).
std::string cmd_dialogs(const command_args& args, json_writer& reply);
std::string cmd_wait_dialog(const command_args& args, json_writer& reply);
std::string cmd_press(const command_args& args, json_writer& reply);

// Other programs' doings (others.cpp).
std::string cmd_rename(const command_args& args, json_writer& reply);
std::string cmd_find_window(const command_args& args, json_writer& reply);
