#pragma once

class QWidget;

// Ending the desktop session (SIGTERM, SIGHUP) closes the window, whose close runs the
// normal shut-down, as if the user had closed it. The signal only writes a byte to a
// pipe; the window is closed from the event loop.
void closeOnSessionEnd(QWidget &window);
