// String resources compiled into the program, looked up by identifier.
#pragma once

#include <string>

// The text of string resource id (UTF-8), empty when the program has none with that id.
std::string LoadStringResource(int id);
