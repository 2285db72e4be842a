#pragma once
// Shows an address in the user's default browser through the desktop's opener.

#include <chrono>
#include <string>

// Starts `xdg-open <address>` detached; false when the opener cannot be started (not on PATH,
// not executable), when it ends with a failure within `verdictWait` (xdg-open's "no method
// available" when no browser is installed), or when the address is empty or would read as an
// option. An opener still running after `verdictWait` (one that runs the browser itself)
// counts as success and is left to run. The address travels as one argument, never through a
// shell.
inline constexpr std::chrono::milliseconds kBrowserVerdictWait{2000};
bool openDefaultBrowser(const std::string& address);

// The same with another opener program, looked up on PATH unless it holds a '/'.
bool openDefaultBrowser(const std::string& address, const std::string& opener,
                        std::chrono::milliseconds verdictWait = kBrowserVerdictWait);
