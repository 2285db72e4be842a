#pragma once
// Shows an address in the user's default browser through the desktop's opener.

#include <string>

// Starts `xdg-open <address>` detached and returns without waiting for it; false when the
// opener cannot be started (not on PATH, not executable) or the address is empty or would
// read as an option. The address travels as one argument, never through a shell.
bool openDefaultBrowser(const std::string& address);

// The same with another opener program, looked up on PATH unless it holds a '/'.
bool openDefaultBrowser(const std::string& address, const std::string& opener);
