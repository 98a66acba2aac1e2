// pathtracer: the scene traced progressively in a 640 x 480 window until a key is pressed.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <SDL.h>

#include "frame/frame.h"
#include "frame/image.h"
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

// Ctrl-C and SIGTERM end the program cleanly after the frame being traced. The handler is
// installed before SDL starts, so SDL keeps it instead of turning the signals into quit events
// (which the frame loop does not act on). A signal ignored at start stays ignored.
volatile std::sig_atomic_t gStopRequested = 0;

void requestStop(int) {
    gStopRequested = 1;
}

void catchStopSignals() {
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction previous;
        sigaction(signal, nullptr, &previous);
        if (previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

} // namespace

int main(int, char**) {
    catchStopSignals();
    SDL_Surface* screen =
        SDL_SetVideoMode(kWidth, kHeight, 32, SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_DOUBLEBUF);
    STARTUP_CHECK(screen);
    SDL_WM_SetCaption("pathtracer", "pathtracer");
    void* pixels = screen->pixels;
    STARTUP_CHECK(pixels);

    initShapes();
    SDL_Event event;
    std::memset(&event, 0, sizeof event);
    clearImage();

    // One event per frame; the frame in which a key press is taken is still traced and shown.
    while (event.type != SDL_KEYDOWN && gStopRequested == 0) {
        SDL_PollEvent(&event);
        const FrameStats frame = traceFrame(FrameMode::TwoWorkers);
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
