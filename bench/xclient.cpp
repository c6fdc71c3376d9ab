#include "xclient.h"

#include <X11/Xlib.h>

#include <memory>
#include <string>

namespace {

// A connection of its own for each question. A window that is gone is an answer, not a
// reason to end the program, as Xlib's default error handler would.
struct Display_
{
    Display_()
    {
        XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    }
    std::unique_ptr<Display, int (*)(Display *)> display{XOpenDisplay(nullptr), XCloseDisplay};
};

} // namespace

namespace XClient {

bool trayRunning()
{
    Display_ x;
    if (!x.display)
        return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(x.display.get()));
    const Atom selection = XInternAtom(x.display.get(), name.c_str(), False);
    return XGetSelectionOwner(x.display.get(), selection) != None;
}

bool askToClose(quint64 window)
{
    Display_ x;
    if (!x.display)
        return false;
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window);
    event.xclient.message_type = XInternAtom(x.display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(x.display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(x.display.get(), Window(window), False, NoEventMask, &event);
    XSync(x.display.get(), False);
    return sent != 0;
}

bool viewable(quint64 window)
{
    Display_ x;
    XWindowAttributes attributes = {};
    return x.display && XGetWindowAttributes(x.display.get(), Window(window), &attributes) &&
           attributes.map_state == IsViewable;
}

} // namespace XClient
