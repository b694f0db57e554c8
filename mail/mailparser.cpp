#include "mailparser.h"

#include "htmltext.h"
#include "mailcharset.h"

#include <gmime/gmime.h>
#include <mutex>

namespace
{

// Parts nested deeper than this are not looked into.
constexpr int MaxDepth = 32;

struct TextPart {
    GMimePart *part = nullptr;
    bool html = false;
};

bool isType(GMimeObject *object, const char *type, const char *subtype)
{
    GMimeContentType *ct = g_mime_object_get_content_type(object);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// A text part that is no attachment: plain text, or HTML when html is allowed.
std::optional<TextPart> asTextPart(GMimeObject *object)
{
    if (!GMIME_IS_PART(object) || g_mime_part_is_attachment(GMIME_PART(object)))
        return std::nullopt;
    if (isType(object, "text", "plain"))
        return TextPart{GMIME_PART(object), false};
    if (isType(object, "text", "html"))
        return TextPart{GMIME_PART(object), true};
    return std::nullopt;
}

// The first text part in reading order; of the alternatives of a multipart/alternative
// the plain text one when there is one.
std::optional<TextPart> firstTextPart(GMimeObject *object, int depth)
{
    if (!object || depth > MaxDepth)
        return std::nullopt;
    if (!GMIME_IS_MULTIPART(object))
        return asTextPart(object);
    GMimeMultipart *multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    if (isType(object, "multipart", "alternative")) {
        std::optional<TextPart> html;
        for (int i = 0; i < count; ++i) {
            std::optional<TextPart> found = firstTextPart(g_mime_multipart_get_part(multipart, i), depth + 1);
            if (found && !found->html)
                return found;
            if (found && !html)
                html = found;
        }
        return html;
    }
    for (int i = 0; i < count; ++i) {
        if (std::optional<TextPart> found = firstTextPart(g_mime_multipart_get_part(multipart, i), depth + 1))
            return found;
    }
    return std::nullopt;
}

// The part's content with its transfer encoding undone, as text.
QString partText(const TextPart &text)
{
    GMimeDataWrapper *content = g_mime_part_get_content(text.part);
    if (!content)
        return {};
    GMimeStream *memory = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, memory);
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
    const QByteArray bytes(reinterpret_cast<const char *>(array->data), qsizetype(array->len));
    g_object_unref(memory);
    const char *charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(text.part), "charset");
    const QString decoded = mailcharset::decode(bytes, QByteArray(charset ? charset : ""));
    return text.html ? htmlAsText(decoded) : decoded;
}

// A subject sent as raw ISO-2022-JP, without encoded words, reaches here as its 7-bit
// bytes with the escapes in.
QString rawJapanese(QString text)
{
    if (!text.contains(QChar(0x1B)))
        return text;
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return text;
    }
    return mailcharset::decode(text.toLatin1(), "ISO-2022-JP");
}

// The header block with its Japanese encoded words as UTF-8 ones, the body as it was;
// without the mbox "From " line a local delivery may put in front.
QByteArray prepared(const QByteArray &raw)
{
    qsizetype start = 0;
    if (raw.startsWith("From ")) {
        start = raw.indexOf('\n');
        start = start < 0 ? raw.size() : start + 1;
    }
    qsizetype end = raw.indexOf("\n\n", start);
    const qsizetype crlf = raw.indexOf("\r\n\r\n", start);
    if (crlf >= 0 && (end < 0 || crlf < end))
        end = crlf;
    if (end < 0)
        end = raw.size();
    return mailcharset::japaneseWordsAsUtf8(raw.mid(start, end - start)) + raw.mid(end);
}

} // namespace

MailContent parseMail(const QByteArray &raw)
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });

    MailContent mail;
    const QByteArray bytes = prepared(raw);
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    GMimeParserOptions *options = g_mime_parser_options_new();
    const char *fallback[] = {"UTF-8", "CP932", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
    GMimeMessage *message = g_mime_parser_construct_message(parser, options);
    g_object_unref(parser);
    g_object_unref(stream);
    if (!message) {
        g_mime_parser_options_free(options);
        mail.readable = false;
        return mail;
    }
    if (const char *subject = g_mime_message_get_subject(message))
        mail.subject = rawJapanese(QString::fromUtf8(subject));
    if (InternetAddressList *from = g_mime_message_get_from(message)) {
        for (int i = 0; i < internet_address_list_length(from); ++i) {
            InternetAddress *address = internet_address_list_get_address(from, i);
            if (!INTERNET_ADDRESS_IS_MAILBOX(address))
                continue;
            mail.fromAddress = QString::fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
            if (const char *name = internet_address_get_name(address))
                mail.fromName = rawJapanese(QString::fromUtf8(name));
            break;
        }
    }
    if (const char *id = g_mime_object_get_header(GMIME_OBJECT(message), "Message-ID"))
        mail.messageId = QString::fromUtf8(QByteArray(id).simplified().left(998));
    if (const char *autoSubmitted = g_mime_object_get_header(GMIME_OBJECT(message), "Auto-Submitted"))
        mail.autoReplied = QByteArray(autoSubmitted).trimmed().toLower().startsWith("auto-replied");
    if (const std::optional<TextPart> text = firstTextPart(g_mime_message_get_mime_part(message), 0))
        mail.body = partText(*text);
    g_object_unref(message);
    g_mime_parser_options_free(options);
    return mail;
}
