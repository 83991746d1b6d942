// Icon 152: the application icon, one 32 x 32 image with 32 bits per pixel.
#pragma once

#include "platform/toolkit.h"

inline constexpr int IDR_MAINFRAME = 152;

const platform::Icon& ApplicationIcon();
