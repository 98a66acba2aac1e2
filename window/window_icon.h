// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// The application menu's 48-pixel icon (desktop/icons), built into the program as PNG bytes.
extern const unsigned char kWindowIconPng[];
extern const std::size_t kWindowIconPngSize;

// Gives the window that SDL_SetVideoMode will open that icon, so that a desktop shell shows it
// with the window (an X11 window's _NET_WM_ICON): call after SDL's video has started. The pixels
// at least half opaque show; the rest is transparent. False, and no icon, when it cannot be made.
bool setWindowIcon();
