#include "ui/helpwindow.h"

#include "ui/appicon.h"
#include "ui/helpbrowser.h"
#include "ui/uifonts.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpContentModel>
#include <QHelpContentWidget>
#include <QHelpEngine>
#include <QHelpIndexModel>
#include <QHelpIndexWidget>
#include <QHelpLink>
#include <QLineEdit>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>

HelpWindow::HelpWindow(const QString &collectionFile, QWidget *parent)
    : QWidget(parent, Qt::Window), m_collectionFile(collectionFile)
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Fumidori ヘルプ"));
    setWindowIcon(fumidoriIcon());
    setFont(uifonts::gothic(10));
    resize(760, 520);

    m_engine = new QHelpEngine(collectionFile, this);
    m_engine->setReadOnly(true); // the collection is never written (installed, it is read-only)

    auto *indexPage = new QWidget;
    m_search = new QLineEdit(indexPage);
    m_search->setPlaceholderText(QStringLiteral("キーワードを入力してください"));
    auto *indexLayout = new QVBoxLayout(indexPage);
    indexLayout->setContentsMargins(4, 4, 4, 4);
    indexLayout->addWidget(m_search);
    indexLayout->addWidget(m_engine->indexWidget());

    m_tabs = new QTabWidget;
    m_tabs->addTab(m_engine->contentWidget(), QStringLiteral("目次"));
    m_tabs->addTab(indexPage, QStringLiteral("キーワード"));
    m_browser = new HelpBrowser(m_engine, this);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_tabs);
    splitter->addWidget(m_browser);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({230, 530});
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    connect(m_engine->contentWidget(), &QHelpContentWidget::linkActivated, this, &HelpWindow::showPage);
    connect(m_engine->indexWidget(), &QHelpIndexWidget::documentActivated, this,
            [this](const QHelpLink &link) { showPage(link.url); });
    connect(m_engine->indexWidget(), &QHelpIndexWidget::documentsActivated, this,
            [this](const QList<QHelpLink> &links) { showPage(links.value(0).url); });
    connect(m_search, &QLineEdit::textChanged, m_engine->indexWidget(),
            [this](const QString &text) { m_engine->indexWidget()->filterIndices(text); });
    // Both are built in the background once the collection is open.
    connect(m_engine->contentModel(), &QHelpContentModel::contentsCreated, m_engine->contentWidget(),
            &QTreeView::expandAll);
    connect(m_engine->indexModel(), &QHelpIndexModel::indexCreated, this,
            [this] { m_engine->indexWidget()->filterIndices(m_search->text()); });
    connect(m_search, &QLineEdit::returnPressed, m_engine->indexWidget(), &QHelpIndexWidget::activateCurrentItem);
}

HelpWindow::~HelpWindow() = default;

QString HelpWindow::collectionFileName()
{
    return QStringLiteral("fumidori.qhc");
}

bool HelpWindow::openCollection()
{
    if (m_state == NotOpened) {
        if (!QFileInfo(m_collectionFile).isFile()) {
            m_state = Failed;
            showProblem(QStringLiteral("ヘルプファイルが見つかりません。"));
        } else if (!m_engine->setupData() || m_engine->registeredDocumentations().isEmpty()) {
            m_state = Failed;
            showProblem(QStringLiteral("ヘルプファイルを読み込めません。") + m_engine->error().toHtmlEscaped());
        } else {
            m_state = Open;
        }
    }
    return m_state == Open;
}

void HelpWindow::showProblem(const QString &text)
{
    m_browser->setHtml(
        QStringLiteral("<h2>%1</h2><p>%2</p><p>ヘルプは %3 から読み込みます"
                       "（インストールしたときは share/fumidori/、そのほかはプログラムと同じフォルダー）。"
                       "ビルドするか、インストールし直すと作られます。</p>")
            .arg(text, m_collectionFile.toHtmlEscaped(), collectionFileName()));
}

QUrl HelpWindow::homePage() const
{
    const QString name = m_engine->registeredDocumentations().value(0);
    return QUrl(QStringLiteral("qthelp://%1/doc/index.html").arg(name));
}

void HelpWindow::showPage(const QUrl &url)
{
    if (url.isValid())
        m_browser->setSource(url);
}

void HelpWindow::present(QWidget *owner)
{
    // Opened from a modal dialog (its help button) the viewer must not be blocked by it.
    const bool overModal = owner && owner->window()->windowModality() != Qt::NonModal;
    const Qt::WindowModality modality = overModal ? Qt::ApplicationModal : Qt::NonModal;
    if (windowModality() != modality) {
        hide();
        setWindowModality(modality);
    }
    show();
    raise();
    activateWindow();
}

void HelpWindow::showContents(QWidget *owner)
{
    m_tabs->setCurrentIndex(0);
    if (openCollection())
        showPage(homePage());
    present(owner);
}

void HelpWindow::showKeyword(QWidget *owner, const QString &keyword)
{
    m_tabs->setCurrentIndex(1);
    m_search->setText(keyword);
    m_search->setFocus();
    if (openCollection()) {
        const QList<QUrl> topics = topicsFor(keyword);
        if (!topics.isEmpty())
            showPage(topics.first());
        else if (m_browser->source().isEmpty())
            showPage(homePage());
    }
    present(owner);
}

QList<QUrl> HelpWindow::topicsFor(const QString &keyword)
{
    QList<QUrl> urls;
    if (keyword.isEmpty() || !openCollection())
        return urls;
    for (const QHelpLink &link : m_engine->documentsForKeyword(keyword))
        urls << link.url;
    return urls;
}

bool HelpWindow::isIndexShown() const
{
    return m_tabs->currentIndex() == 1;
}

QString HelpWindow::searchText() const
{
    return m_search->text();
}

QUrl HelpWindow::currentPage() const
{
    return m_browser->source();
}

QString HelpWindow::pageText() const
{
    return m_browser->toPlainText();
}

HelpWindow &LazyHelpWindow::window()
{
    if (!m_window)
        m_window = std::make_unique<HelpWindow>(m_collectionFile);
    return *m_window;
}
