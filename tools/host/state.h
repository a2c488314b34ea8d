// Saving and restoring a plug-in instance the way a host saves it with a project when the
// plug-in offers no chunk: every parameter value (read with getParameter) and the program name.
#pragma once

#include <string>

#include "tools/host/vsthost.h"

namespace host {

// Writes "program NAME" and one "param INDEX VALUE" line per parameter. False with `error`.
bool saveState(VstHost& h, const std::string& path, std::string& error);

// Restores a saved state into an instance through setParameter and effSetProgramName. False
// with `error`, having changed nothing, when the file is not a readable regular file or a line
// is not a state line (a NUL byte inside a line included).
bool loadState(VstHost& h, const std::string& path, std::string& error);

}  // namespace host
