#include "app/clipboardhandover.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace
{

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

bool selectionHasOwner(xcb_connection_t *connection, xcb_atom_t selection)
{
    xcb_get_selection_owner_reply_t *reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

// Ends the wait when the manager's answer to our request arrives.
class SaveTargetsAnswer : public QAbstractNativeEventFilter
{
public:
    SaveTargetsAnswer(xcb_window_t requestor, QEventLoop &loop) : m_requestor(requestor), m_loop(loop) {}

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY ||
            reinterpret_cast<const xcb_selection_notify_event_t *>(event)->requestor != m_requestor)
            return false;
        m_loop.quit();
        return true;
    }

private:
    xcb_window_t m_requestor;
    QEventLoop &m_loop;
};

} // namespace

void handClipboardOver(int timeoutMs)
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    auto *x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !QGuiApplication::clipboard()->ownsClipboard())
        return;
    xcb_connection_t *connection = x11->connection();
    const xcb_atom_t manager = internAtom(connection, "CLIPBOARD_MANAGER");
    const xcb_atom_t saveTargets = internAtom(connection, "SAVE_TARGETS");
    if (manager == XCB_ATOM_NONE || saveTargets == XCB_ATOM_NONE || !selectionHasOwner(connection, manager))
        return;
    // A window of our own receives the answer; Qt's window that owns the clipboard answers the
    // manager's requests for the data while the loop below runs.
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t requestor = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, requestor, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, 0, nullptr);
    QEventLoop loop;
    SaveTargetsAnswer answer(requestor, loop);
    app->installNativeEventFilter(&answer);
    xcb_convert_selection(connection, requestor, manager, saveTargets, XCB_NONE, XCB_CURRENT_TIME);
    xcb_flush(connection);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    app->removeNativeEventFilter(&answer);
    xcb_destroy_window(connection, requestor);
    xcb_flush(connection);
}
