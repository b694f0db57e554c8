#pragma once

#include <QTextBrowser>

class QHelpEngineCore;

// Shows the pages of a help collection: qthelp: addresses are read from the collection,
// other addresses go to the desktop.
class HelpBrowser : public QTextBrowser
{
    Q_OBJECT
public:
    HelpBrowser(QHelpEngineCore *engine, QWidget *parent = nullptr);

    QVariant loadResource(int type, const QUrl &name) override;

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;

private:
    QHelpEngineCore *m_engine;
};
