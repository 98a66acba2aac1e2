// pathtracer: the scene traced progressively in a 640 x 480 window until a key is pressed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <SDL.h>

#include "frame/display.h"
#include "frame/frame.h"
#include "frame/image.h"
#include "scene/scene.h"

namespace {

std::uint8_t* pixels = nullptr;

// Start-up checks stay in every build type: a window that cannot be had ends the program with
// the failed expression and SDL's reason, never with a null pointer dereferenced later.
[[noreturn]] void startupCheckFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "pathtracer: %s:%d: Assertion `%s' failed: %s\n", file, line, expression,
                 SDL_GetError());
    std::abort();
}
#define STARTUP_CHECK(expr) ((expr) ? (void)0 : startupCheckFailed(#expr, __FILE__, __LINE__))

void updatePixels(SDL_Surface* screen) {
    const bool lock = SDL_MUSTLOCK(screen);
    if (lock && SDL_LockSurface(screen) != 0) {
        return;  // the surface is not available this frame; the next frame draws it
    }
    writeMeanPixels(pixels, kWidth * 4);
    if (lock) {
        SDL_UnlockSurface(screen);
    }
}

} // namespace

int main(int, char**) {
    SDL_Surface* screen =
        SDL_SetVideoMode(kWidth, kHeight, 32, SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_DOUBLEBUF);
    STARTUP_CHECK(screen);
    SDL_WM_SetCaption("pathtracer", "pathtracer");
    pixels = static_cast<std::uint8_t*>(screen->pixels);
    STARTUP_CHECK(pixels);

    initShapes();
    SDL_Event event;
    std::memset(&event, 0, sizeof event);
    clearImage();

    // One event per frame; the frame in which a key press is taken is still traced and shown.
    while (event.type != SDL_KEYDOWN) {
        SDL_PollEvent(&event);
        const FrameStats frame = traceFrame(FrameMode::TwoWorkers);
        std::cout << tracingTimeLine(frame.tracing) << std::endl;
        updatePixels(screen);
        SDL_Flip(screen);
    }
    SDL_Quit();
    return 0;
}
