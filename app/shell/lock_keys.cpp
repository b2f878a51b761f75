#include "shell/lock_keys.h"

#include <QGuiApplication>

#ifdef QUILLROM2_HAVE_X11
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#endif

LockKeyState QueryLockKeys() {
    LockKeyState state;
#ifdef QUILLROM2_HAVE_X11
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return state;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display *display = x11 ? x11->display() : nullptr;
    if (!display) return state;
    auto indicator = [display](const char *name) {
        const Atom atom = XInternAtom(display, name, True);
        Bool on = False;
        if (atom != None && XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr)) return on == True;
        return false;
    };
    state.caps = indicator("Caps Lock");
    state.num = indicator("Num Lock");
    state.scroll = indicator("Scroll Lock");
#endif
    return state;
}
