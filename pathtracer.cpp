// SPDX-License-Identifier: MIT
// pathtracer: the scene traced progressively in a 640 x 480 window until a key is pressed.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <SDL.h>

#include "frame/frame.h"
#include "frame/image.h"
#include "frame/stop_signals.h"
#include "scene/scene.h"
#include "window/surface_display.h"

namespace {

// Start-up checks stay in every build type: a window that cannot be had ends the program with
// the failed expression and SDL's reason, never with a null pointer used later.
[[noreturn]] void startupCheckFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "pathtracer: %s:%d: Assertion `%s' failed: %s\n", file, line, expression,
                 SDL_GetError());
    std::abort();
}
#define STARTUP_CHECK(expr) ((expr) ? (void)0 : startupCheckFailed(#expr, __FILE__, __LINE__))

// Without a driver chosen by the user and without a graphical display, SDL would fall back to a
// text-terminal driver (writing escape codes into standard output) or to none at all and trace
// forever with nothing shown: such a start fails at once, as when no window can be had.
bool noDisplayToOpen() {
    const auto unset = [](const char* name) {
        const char* value = std::getenv(name);
        return value == nullptr || value[0] == '\0';
    };
    return unset("SDL_VIDEODRIVER") && unset("DISPLAY") && unset("WAYLAND_DISPLAY");
}

// Takes every event waiting in the queue; whether one of them was a key press. Emptying the
// queue each frame keeps it from filling (classic SDL drops new events when it holds 128), so
// a key press is never lost behind other events.
bool keyPressedSinceLastFrame() {
    bool pressed = false;
    SDL_Event event;
    while (SDL_PollEvent(&event) == 1) {
        pressed = pressed || event.type == SDL_KEYDOWN;
    }
    return pressed;
}

} // namespace

int main(int, char**) {
    // Installed before SDL starts, so SDL keeps these handlers instead of turning the signals into
    // quit events (which the frame loop does not act on).
    catchStopSignals(false);
    SDL_Surface* screen = nullptr;
    if (noDisplayToOpen()) {
        SDL_SetError("no display to open a window on (DISPLAY and WAYLAND_DISPLAY are unset)");
    } else {
        screen =
            SDL_SetVideoMode(kWidth, kHeight, 32, SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_DOUBLEBUF);
    }
    STARTUP_CHECK(screen);
    SDL_WM_SetCaption("pathtracer", "pathtracer");
    void* pixels = screen->pixels;
    STARTUP_CHECK(pixels);

    // Pointer motion is of no use here and would only crowd the queue.
    SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);

    initShapes();
    clearImage();

    // The frame in which a key press is taken is still traced and shown.
    bool keyPressed = false;
    while (!keyPressed && stopSignal() == 0) {
        keyPressed = keyPressedSinceLastFrame();
        FrameStats frame;
        try {
            frame = traceFrame(FrameMode::TwoWorkers);
        } catch (...) {
            SDL_Quit();
            std::cerr << "pathtracer: " << frameFailure() << "\n";
            return 1;
        }
        std::cout << tracingTimeLine(frame.tracing) << std::endl;
        updatePixels(screen);
        SDL_Flip(screen);
        if (frame.segments == 0) {
            SDL_Delay(10); // the picture has converged: nothing was traced, so do not spin
        }
    }
    SDL_Quit();
    return 0;
}
