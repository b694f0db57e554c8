#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Netstrings ("5:hello,"), the framing of the engine's control socket.
namespace netstring
{

QByteArray encode(QByteArrayView payload);

// Collects what a stream delivers and hands out the complete frames. A frame longer
// than MaxFrame or a malformed header puts the reader in error; it then takes nothing more.
class Reader
{
public:
    static constexpr qsizetype MaxFrame = 1 << 20;

    // Appends the bytes and returns the frames they completed, in order.
    QList<QByteArray> feed(QByteArrayView bytes);
    bool failed() const { return m_failed; }

private:
    QByteArray m_buffer;
    bool m_failed = false;
};

} // namespace netstring
