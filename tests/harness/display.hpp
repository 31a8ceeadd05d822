// A private X server (Xvfb) with a window manager (openbox), on a free display
// number held for the object's life, stopped when the object goes.
#pragma once

#include <string>
#include <sys/types.h>

namespace harness {

// The window managers the suite runs under.
enum class Wm {
    none,
    openbox,
    xfwm4,         // Xfce's, with its compositor on
    i3,            // tiling, reparenting, no stacking hint of its own
    openboxPicom,  // openbox beside the picom compositor
};
const char* wmName(Wm wm);

struct Display {
    // Starts Xvfb (1920 x 1200 x 24, with or without Composite) and, when
    // `windowManager`, openbox, and waits until both are ready. Throws when
    // they cannot be started.
    explicit Display(bool windowManager = true, bool composite = true);
    // The same with window manager `wm` (and its compositor).
    explicit Display(Wm wm, bool composite = true);
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    std::string name;  // ":N", for DISPLAY
    pid_t server = -1;
    pid_t wm = -1;
    pid_t compositor = -1;

    // Kills the server (and the window manager with it).
    void kill();
    // Starts a new server on the same display number, and the window manager.
    void restart();

private:
    bool startServer();  // false when it did not start on `name`
    void startWindowManager();
    std::string lockFile_;  // holds the display number
    Wm wm_;
    bool composite_;
    std::string config_;  // i3's configuration file
};

// Runs `argv` in the background with DISPLAY set, stdout/stderr to /dev/null.
pid_t spawnClient(const std::string& display, const char* const argv[]);
// Kills and reaps a process started by spawnClient.
void stopClient(pid_t pid);

}  // namespace harness
