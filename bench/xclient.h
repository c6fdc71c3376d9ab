#pragma once

#include <QtGlobal>

// What the idle benchmark asks of the X display beyond xdotool, which can neither tell
// whether a system tray runs nor ask a window to close as a window manager's close button
// does. In a file of its own: Xlib's macros clash with Qt's names.
namespace XClient {

// Whether a system tray runs on the display's default screen.
bool trayRunning();

// Sends the window WM_DELETE_WINDOW, what a window manager sends when the user closes it.
bool askToClose(quint64 window);

// Whether the window is mapped and so can be seen (a window hidden to the tray is not).
bool viewable(quint64 window);

} // namespace XClient
