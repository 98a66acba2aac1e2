// SPDX-License-Identifier: MIT
// pathtracer: the scene traced progressively in a 640 x 480 window until a key is pressed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <SDL.h>

#include "frame/frame.h"
#include "frame/image.h"
#include "frame/stop_signals.h"
#include "scene/scene.h"
#include "window/surface_display.h"
#include "window/window_icon.h"

namespace {

// Start-up checks stay in every build type: a window that cannot be had ends the program with
// the failed expression and SDL's reason, never with a null pointer used later.
[[noreturn]] void startupCheckFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "pathtracer: %s:%d: Assertion `%s' failed: %s\n", file, line, expression,
                 SDL_GetError());
    std::abort();
}
#define STARTUP_CHECK(expr) ((expr) ? (void)0 : startupCheckFailed(#expr, __FILE__, __LINE__))

// Drivers that show no window: text terminals (escape codes written to standard output) and
// none at all. SDL falls back to them when it finds no graphical display (classic SDL 1.2 to its
// terminal drivers, even in a Wayland session, which it cannot use; sdl12-compat to SDL2's
// offscreen driver), and the program would trace forever with nothing shown.
bool showsNoWindow(const char* driver) {
    for (const char* name : {"aalib", "caca", "dummy", "offscreen"}) {
        if (std::strcmp(driver, name) == 0) {
            return true;
        }
    }
    return false;
}

// The user named SDL's video driver (SDL_VIDEODRIVER).
bool driverChosen() {
    const char* chosen = std::getenv("SDL_VIDEODRIVER");
    return chosen != nullptr && chosen[0] != '\0';
}

// Starts SDL's video, unless the driver it chooses shows no window and the user did not ask for
// it with SDL_VIDEODRIVER: then SDL is stopped again, with the reason as SDL's error. A terminal
// driver writes to standard output as it starts, so a driver the user did not choose is started
// with standard output set aside until it is known.
bool startVideo() {
    const bool userChose = driverChosen();
    // libcaca's terminal drivers end the process (through ncurses) when the terminal is unknown
    // or TERM unset, before SDL could return; its null driver starts without a terminal, and is
    // refused below like any other driver that shows no window.
    if (!userChose) {
        setenv("CACA_DRIVER", "null", 0);
    }
    // The window's class (X11) and application id (Wayland): what a desktop shell ties to the
    // menu entry (its StartupWMClass), whatever name the program was started by.
    setenv("SDL_VIDEO_X11_WMCLASS", "pathtracer", 0);
    setenv("SDL_VIDEO_WAYLAND_WMCLASS", "pathtracer", 0);
    std::fflush(stdout);
    const int savedOutput = userChose ? -1 : dup(STDOUT_FILENO);
    if (savedOutput >= 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    bool started = SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE) == 0;
    char driver[32] = "";
    const bool refused = started && !userChose &&
                         SDL_VideoDriverName(driver, sizeof driver) != nullptr &&
                         showsNoWindow(driver);
    if (refused) {
        SDL_Quit();
        started = false;
    }
    if (savedOutput >= 0) {
        dup2(savedOutput, STDOUT_FILENO);
        close(savedOutput);
    }
    if (refused) {
        SDL_SetError("no graphical display: SDL found only its '%s' video driver, which shows no "
                     "window",
                     driver);
    } else if (!started && !userChose) {
        // SDL 3 (under sdl12-compat and sdl2-compat) falls back to no driver at all: "No
        // available video device". Said the same way, with SDL's own words.
        const std::string reason = SDL_GetError();
        SDL_SetError("no graphical display SDL can use (%s)", reason.c_str());
    }
    return started;
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
    if (startVideo()) {
        setWindowIcon();
        screen =
            SDL_SetVideoMode(kWidth, kHeight, 32, SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_DOUBLEBUF);
    } else if (!driverChosen()) {
        // What the user can do comes first; the failed check and SDL's reason follow.
        std::fprintf(stderr,
                     "pathtracer: no window can be opened here: start pathtracer in a graphical "
                     "session (one that sets DISPLAY or WAYLAND_DISPLAY)\n");
    }
    STARTUP_CHECK(screen);
    // The close button does not end the program, only a key does: the title says so.
    SDL_WM_SetCaption("pathtracer - press any key to quit", "pathtracer");
    void* pixels = screen->pixels;
    STARTUP_CHECK(pixels);

    // Pointer motion is of no use here and would only crowd the queue.
    SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);

    try {
        initShapes();
        clearImage();
    } catch (...) {
        SDL_Quit();
        std::cerr << "pathtracer: " << frameFailure() << "\n";
        return 1;
    }

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
