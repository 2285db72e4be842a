#pragma once
// The user's configuration folder by the XDG convention.

#include <string>

// $XDG_CONFIG_HOME when it is absolute (a relative one is invalid and ignored), else
// ~/.config; /tmp when not even a home folder is known.
std::string xdgConfigHome();
