#include "platform/xdg.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

std::string xdgConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        return xdg;
    if (const char* home = std::getenv("HOME"); home && home[0] != '\0')
        return std::string(home) + "/.config";
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return std::string(entry->pw_dir) + "/.config";
    return "/tmp";
}
