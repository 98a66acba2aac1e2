// SPDX-License-Identifier: MIT
#pragma once

#include <SDL.h>

#include "frame/display.h"

// The layout of a true-colour SDL surface.
PixelLayout layoutOf(const SDL_PixelFormat& format);

// Shows the running mean on `surface`, honouring its pitch and pixel format, with the surface
// locked while its pixels are written whenever SDL says it must be. Returns false when the
// surface could not be locked (this frame is then not drawn).
bool updatePixels(SDL_Surface* surface);
