// Dialog template 102, the main window, and the ids of its controls.
#pragma once

#include "platform/toolkit.h"

inline constexpr int IDD_UPDATE_DIALOG = 102;
inline constexpr int IDC_PROGRESS = 1003;
inline constexpr int IDC_USB_UPDATE = 1007;
inline constexpr int IDC_INFO = 1008;
inline constexpr int IDC_STATIC = -1;  // the success label

const platform::DialogTemplate& UpdateDialogTemplate();
