// State of the Caps, Num and Scroll Lock keys for the status bar.
#pragma once

struct LockKeyState {
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

// Asks the window system; all off where it cannot be asked (no X display,
// offscreen platform, or built without X11).
LockKeyState QueryLockKeys();
