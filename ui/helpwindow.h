#pragma once

#include "ui/platform.h"

#include <QUrl>
#include <QWidget>

#include <memory>

class HelpBrowser;
class QHelpEngine;
class QLineEdit;
class QTabWidget;

// The program's help viewer: the help collection (beside the program, or installed), with its
// contents, its keyword index and the pages. A missing or damaged collection is
// reported on the viewer's own page; the program goes on.
class HelpWindow : public QWidget, public HelpLauncher
{
    Q_OBJECT
public:
    explicit HelpWindow(const QString &collectionFile, QWidget *parent = nullptr);
    ~HelpWindow() override;

    // The collection's file name in the program folder or the installed share/fumidori/.
    static QString collectionFileName();

    void showContents(QWidget *owner) override;
    void showKeyword(QWidget *owner, const QString &keyword) override;

    // What the viewer shows, for those who check it.
    bool isIndexShown() const;
    QString searchText() const;
    QUrl currentPage() const;
    QString pageText() const;
    // The help engine, so that others can wait for its contents and index to be built.
    QHelpEngine *engine() const { return m_engine; }
    // The pages a keyword of the index leads to (none when the collection is missing).
    QList<QUrl> topicsFor(const QString &keyword);

private:
    bool openCollection();
    QUrl homePage() const;
    void showPage(const QUrl &url);
    void showProblem(const QString &text);
    void present(QWidget *owner);

    QString m_collectionFile;
    QHelpEngine *m_engine = nullptr;
    QTabWidget *m_tabs = nullptr;
    QLineEdit *m_search = nullptr;
    HelpBrowser *m_browser = nullptr;
    enum { NotOpened, Open, Failed } m_state = NotOpened;
};

// The help viewer, made at its first use: a start does not pay for opening the help engine.
class LazyHelpWindow : public HelpLauncher
{
public:
    explicit LazyHelpWindow(const QString &collectionFile) : m_collectionFile(collectionFile) {}

    void showContents(QWidget *owner) override { window().showContents(owner); }
    void showKeyword(QWidget *owner, const QString &keyword) override { window().showKeyword(owner, keyword); }
    // The viewer, made now if it was not yet.
    HelpWindow &window();

private:
    QString m_collectionFile;
    std::unique_ptr<HelpWindow> m_window;
};
