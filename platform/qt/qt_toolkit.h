// The dialog toolkit on Qt 6 Widgets.
#pragma once

#include <memory>

#include "platform/toolkit.h"

namespace platform {

// Creates the Qt application (it takes Qt's own arguments out of argv) and the toolkit on it.
// Call on the thread that will run the dialog.
std::unique_ptr<Toolkit> CreateQtToolkit(int& argc, char** argv);

}  // namespace platform
