// Filesystem root of the gateway: every built-in absolute path is taken below
// $ZELMO_ROOT when it is set and not empty.
#pragma once

#include <string>

// "/configs/devices.db" -> "$ZELMO_ROOT/configs/devices.db" (or unchanged).
std::string root_path(const char *absolute_path);

// Creates a directory and its parents (mode 0755 unless given); 0 on success.
int make_dirs(const std::string &path, unsigned mode = 0755);
