#include "ui/helpbrowser.h"

#include <QDesktopServices>
#include <QHelpEngineCore>

HelpBrowser::HelpBrowser(QHelpEngineCore *engine, QWidget *parent) : QTextBrowser(parent), m_engine(engine)
{
    setOpenLinks(true);
    setOpenExternalLinks(false);
}

QVariant HelpBrowser::loadResource(int type, const QUrl &name)
{
    if (name.scheme() == QLatin1String("qthelp"))
        return m_engine->fileData(name);
    return QTextBrowser::loadResource(type, name);
}

void HelpBrowser::doSetSource(const QUrl &name, QTextDocument::ResourceType type)
{
    if (name.scheme() == QLatin1String("qthelp") || name.isRelative()) {
        QTextBrowser::doSetSource(name, type);
        return;
    }
    QDesktopServices::openUrl(name); // a web or mail address in a page
}
