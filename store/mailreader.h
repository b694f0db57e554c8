#pragma once

#include <QByteArray>
#include <QString>
#include <QtPlugin>

// What a page is made of, read from one mail (RFC 5322) as the mail server hands it over.
struct MailContent {
    QString subject;          // decoded (encoded words, Japanese charsets), line folding undone
    QString fromAddress;      // the first From mailbox's address
    QString fromName;         // its display name, decoded; may be empty
    QString body;             // the first text part as text (an HTML part turned into text)
    bool autoReplied = false; // Auto-Submitted: auto-replied (a vacation reply and the like)
    QString messageId;        // the Message-ID header as written, white space squeezed; may be empty
    bool readable = true;     // false: not a mail at all
};

// The mail reader: MIME structure, transfer encodings, charsets and HTML, kept in a plugin
// of its own (GMime and libxml2) that only the mail intake loads.
class MailReader
{
public:
    virtual ~MailReader() = default;
    virtual MailContent read(const QByteArray &raw) = 0;
};

#define MailReader_iid "org.fumidori.MailReader/1"
Q_DECLARE_INTERFACE(MailReader, MailReader_iid)
