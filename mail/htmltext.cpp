#include "htmltext.h"

#include <QByteArray>

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

namespace
{

bool named(const xmlNode *node, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar *>(name)) == 0)
            return true;
    }
    return false;
}

} // namespace

QString htmlAsText(const QString &html)
{
    const QByteArray bytes = html.toUtf8();
    htmlDocPtr doc = htmlReadMemory(bytes.constData(), int(qMin<qsizetype>(bytes.size(), INT_MAX)), nullptr, "UTF-8",
                                    HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                                        HTML_PARSE_IGNORE_ENC);
    if (!doc)
        return {};
    QByteArray text;
    // Walked without recursion: a hostile mail may nest as deep as the parser lets it.
    const xmlNode *root = xmlDocGetRootElement(doc);
    const xmlNode *node = root;
    while (node) {
        bool descend = false;
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            text.append(reinterpret_cast<const char *>(node->content));
        } else if (node->type == XML_ELEMENT_NODE) {
            descend = !named(node, {"head", "script", "style", "title", "template"});
            if (named(node, {"br", "p", "div", "tr", "li", "h1", "h2", "h3", "h4", "h5", "h6", "table", "pre",
                             "blockquote", "hr", "dd", "dt"}))
                text.append('\n');
        }
        if (descend && node->children) {
            node = node->children;
            continue;
        }
        while (node != root && !node->next) {
            node = node->parent;
            if (named(node, {"p", "div", "tr", "li", "table", "pre"}))
                text.append('\n');
        }
        node = node == root ? nullptr : node->next;
    }
    xmlFreeDoc(doc);
    return QString::fromUtf8(text);
}
