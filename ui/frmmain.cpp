#include "ui/frmmain.h"

#include "modem/linelog.h"
#include "modem/sendengine.h"
#include "modem/serialport.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "ui/appicon.h"
#include "ui/clicklabel.h"
#include "ui/dlgabout.h"
#include "ui/dlgadd.h"
#include "ui/dlghistory.h"
#include "ui/dlgoption.h"
#include "ui/formcontrols.h"
#include "ui/helpwindow.h"
#include "ui/mailedit.h"
#include "ui/platform.h"
#include "ui/uifonts.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

namespace
{

using formcontrols::px;

void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(formcontrols::twips(left, top, width, height));
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, const QString &tip)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setToolTip(tip);
    b->setAutoDefault(false);
    return b;
}

QComboBox *selector(QWidget *parent, const char *name, const QString &tip)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setToolTip(tip);
    return c;
}

} // namespace

frmMain::frmMain(AppData &data, Platform &platform, SerialPort &port, QWidget *parent)
    : QMainWindow(parent), m_data(data), m_platform(platform), mscCOM(port)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("携帯電話、PHSにメールを送るよん♪"));
    setWindowIcon(fumidoriIcon());
    createControls();
    createMenus();
    createStatusBar();
    connectControls();
    // The window keeps the form's client size; menu bar and status bar come on top of it.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_lineLog = std::make_unique<LineLog>(m_data.folder);
    m_lines = std::make_unique<KindLines>(
        LineParts{m_data.settings, m_waiter, mscCOM, m_platform.passwords, this, m_lineLog.get(), m_data.folder});
    m_engine = std::make_unique<SendEngine>(m_data, *m_lines, *this);
}

frmMain::~frmMain()
{
    if (m_ownHelp && m_platform.help == m_ownHelp.get())
        m_platform.help = nullptr;
}

void frmMain::createControls()
{
    auto *client = new QWidget(this);
    client->setFixedSize(px(5175), px(3045));
    client->setFont(uifonts::gothic());
    setCentralWidget(client);

    txtMail = new MailEdit(client);
    txtMail->setObjectName(QStringLiteral("txtMail"));
    txtMail->setToolTip(QStringLiteral("送信するメールを書いてね"));
    txtMail->setFont(uifonts::fixedSys());
    place(txtMail, 120, 0, 4935, 975);

    lblNumber = new ClickLabel(QStringLiteral("送信先の相手"), client);
    lblNumber->setObjectName(QStringLiteral("lblNumber"));
    place(lblNumber, 120, 1080, 1440, 240);
    lblCenter = new ClickLabel(QStringLiteral("送信先のセンター"), client);
    lblCenter->setObjectName(QStringLiteral("lblCenter"));
    place(lblCenter, 2640, 1080, 1800, 240);

    cmbNumber = selector(client, "cmbNumber", QStringLiteral("送信先の相手を選ぶ"));
    place(cmbNumber, 120, 1320, 2415, 360);
    cmbCenter = selector(client, "cmbCenter", QStringLiteral("送信先のセンターを選ぶ"));
    place(cmbCenter, 2640, 1320, 2415, 360);

    cmdButton = button(client, "cmdButton", QStringLiteral("センターにかける"), QString());
    place(cmdButton, 120, 1800, 2415, 375);
    cmdREPEAT =
        button(client, "cmdREPEAT", QStringLiteral("もう一度番号を送る"), QStringLiteral("もう一度、送信します"));
    cmdREPEAT->setEnabled(false);
    place(cmdREPEAT, 2640, 1800, 2415, 375);
    cmdOptimize =
        button(client, "cmdOptimize", QStringLiteral("最適化！"), QStringLiteral("入力した文字を最適化します"));
    place(cmdOptimize, 120, 2280, 1575, 375);
    cmdCut = button(client, "cmdCut", QStringLiteral("回線を切る"), QStringLiteral("回線を切ります"));
    place(cmdCut, 1800, 2280, 1575, 375);
    cmdExit = button(client, "cmdExit", QStringLiteral("終了"), QStringLiteral("終了するよ"));
    place(cmdExit, 3480, 2280, 1575, 375);

    // The form's tab order; the labels take no focus.
    const QList<QWidget *> order{txtMail, cmbNumber, cmbCenter, cmdOptimize, cmdButton, cmdREPEAT, cmdCut, cmdExit};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    timTIME = new QTimer(this);
    timTIME->setObjectName(QStringLiteral("timTIME"));
    timTIME->setInterval(1000);
}

// The items in order, an empty text for a separator; each item's place is its value.
template <typename Item>
QList<QAction *> frmMain::addMenu(const QString &title, const QStringList &items, void (frmMain::*handler)(Item))
{
    QMenu *menu = menuBar()->addMenu(title);
    mnuMENU << menu->menuAction();
    QList<QAction *> actions;
    for (const QString &item : items) {
        QAction *action = item.isEmpty() ? menu->addSeparator() : menu->addAction(item);
        const int index = int(actions.size());
        if (!item.isEmpty())
            connect(action, &QAction::triggered, this, [this, handler, index] { (this->*handler)(Item(index)); });
        actions << action;
    }
    return actions;
}

void frmMain::createMenus()
{
    menuBar()->setFont(uifonts::gothic(9));
    mnuFILE = addMenu(QStringLiteral("ﾌｧｲﾙ(&F)"), {QStringLiteral("終了(&X)")}, &frmMain::mnuFILE_Click);
    mnuSTRING =
        addMenu(QStringLiteral("文字変換(&C)"),
                {QStringLiteral("ひらがな→カタカナ"), QStringLiteral("全角→半角"), QStringLiteral("小文字→大文字"),
                 QString(), QStringLiteral("カタカナ→ひらがな"), QStringLiteral("半角→全角"),
                 QStringLiteral("大文字→小文字"), QString(), QStringLiteral("最適化(&O)")},
                &frmMain::mnuSTRING_Click);
    mnuSTRING[int(StringItem::Optimize)]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuOPTION =
        addMenu(QStringLiteral("ｵﾌﾟｼｮﾝ(&O)"),
                {QStringLiteral("設定(&S)..."), QStringLiteral("追加／編集(&A)..."), QStringLiteral("送信履歴(&H)...")},
                &frmMain::mnuOPTION_Click);
    m_optionMenu = mnuMENU[2]->menu();
    mnuHELP = addMenu(QStringLiteral("ヘルプ(&H)"),
                      {QStringLiteral("目次(&C)..."), QStringLiteral("検索(&S)..."), QString(),
                       QStringLiteral("バージョン情報(&A)...")},
                      &frmMain::mnuHELP_Click);
    for (QAction *top : std::as_const(mnuMENU))
        top->menu()->setFont(uifonts::gothic(9));
}

void frmMain::createStatusBar()
{
    struct Panel {
        int twips;
        const char *text;
        const char *tip;
    };
    static const Panel panels[] = {
        {2535, "", "現在のステータスを表示します"},
        {300, "0", "送信間隔の参考にしてください"},
        {300, "", "自動送信の設定の有無を表示しています"},
        {1250, "現在の文字数", ""},
        {700, "", "現在の文字数です"},
    };
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("stbSTATUS"));
    bar->setSizeGripEnabled(false);
    bar->setFont(uifonts::gothic(9));
    // The panels sit side by side in one strip: the status bar's own spacing between
    // widgets would push them past the window's fixed width and onto each other.
    auto *strip = new QWidget(bar);
    auto *row = new QHBoxLayout(strip);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    for (const Panel &p : panels) {
        auto *label = new ClickLabel(QString::fromUtf8(p.text), strip);
        label->setToolTip(QString::fromUtf8(p.tip));
        label->setFixedWidth(px(p.twips));
        label->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        row->addWidget(label);
        stbSTATUS << label;
    }
    row->addStretch(1);
    bar->addPermanentWidget(strip, 1); // never hidden by a passing status message
}

void frmMain::connectControls()
{
    connect(cmbNumber, &QComboBox::currentIndexChanged, this, &frmMain::cmbNumber_Click);
    connect(cmbCenter, &QComboBox::currentIndexChanged, this, &frmMain::cmbCenter_Click);
    connect(txtMail, &QPlainTextEdit::textChanged, this, &frmMain::txtMail_Change);
    connect(txtMail, &MailEdit::refused, this, [this] { m_platform.boxes->beep(); });
    for (ClickLabel *label : {lblNumber, lblCenter}) {
        connect(label, &ClickLabel::rightPressed, this, &frmMain::lbl_MouseDown);
        connect(label, &ClickLabel::doubleClicked, this, &frmMain::lbl_DblClick);
    }
    for (int panel = 1; panel <= int(stbSTATUS.size()); ++panel)
        connect(stbSTATUS[panel - 1], &ClickLabel::doubleClicked, this,
                [this, panel] { stbSTATUS_PanelDblClick(panel); });
    connect(cmdButton, &QPushButton::clicked, this, [this] { m_engine->send(); });
    connect(cmdREPEAT, &QPushButton::clicked, this, [this] { m_engine->sendAgain(); });
    connect(cmdCut, &QPushButton::clicked, this, [this] { m_engine->hangUp(); });
    connect(timTIME, &QTimer::timeout, this, &frmMain::timTIME_Timer);
    connect(cmdOptimize, &QPushButton::clicked, this, &frmMain::cmdOptimize_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
}

// Start-up and shut-down ----------------------------------------------------------

void frmMain::Form_Load()
{
    m_platform.run->loadAtStartUp(m_data, this);
    prepareWindow();
}

void frmMain::prepareWindow()
{
    fillSelectors();
    selectFirst();
    help();
    ShowAutoTransmitMark();
    txtMail->setImeMode(m_data.settings.IME);
    m_returnStartsSend = m_data.settings.ReturnStart == 1;
}

void frmMain::fillSelectors()
{
    const QSignalBlocker blockNumber(cmbNumber);
    const QSignalBlocker blockCenter(cmbCenter);
    cmbNumber->clear();
    cmbCenter->clear();
    QStringList names; // one insertion into the model, not one per recipient
    names.reserve(m_data.recipients.size());
    for (const Recipient &r : std::as_const(m_data.recipients))
        names << r.name;
    cmbNumber->addItems(names);
    for (const MessageCenter &c : std::as_const(m_data.centers))
        cmbCenter->addItem(c.name, int(c.maxChars));
    // Filling selects the first items silently; start from no selection so that selecting runs the handlers.
    cmbNumber->setCurrentIndex(-1);
    cmbCenter->setCurrentIndex(-1);
}

void frmMain::selectFirst()
{
    if (cmbNumber->count() > 0)
        cmbNumber->setCurrentIndex(0);
    else if (cmbCenter->count() > 0)
        cmbCenter->setCurrentIndex(0);
    // With no centre selected no selection change has recounted the message.
    if (cmbCenter->currentIndex() < 0)
        txtMail_Change();
}

// A line that is still ending its call (the SIP engine saying goodbye to the centre)
// is given up to GoodbyeMs with the window already gone; the event loop runs on
// meanwhile, and the settings are saved once it has ended.
void frmMain::cmdExit_Click()
{
    if (m_exiting)
        return;
    m_engine->hangUpForExit();
    if (!m_engine->lineEnding()) {
        m_platform.run->saveAndExit(m_data, this);
        return;
    }
    m_exiting = true;
    hide();
    auto save = [this] { m_platform.run->saveAndExit(m_data, nullptr); };
    m_engine->whenLineEnded(this, save);
    QTimer::singleShot(GoodbyeMs, this, save);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    event->ignore();
    cmdExit_Click();
}

// Selectors, labels, status bar and menus ------------------------------------------

void frmMain::cmbNumber_Click(int index)
{
    int center = -1;
    if (index >= 0 && index < m_data.recipients.size()) {
        const int linked = m_data.recipients[index].centerIndex;
        if (linked >= 0 && linked < cmbCenter->count())
            center = linked;
    }
    cmbCenter->setCurrentIndex(center);
}

void frmMain::cmbCenter_Click()
{
    txtMail_Change();
}

void frmMain::stbSTATUS_PanelDblClick(int panel)
{
    if (panel != 3)
        return;
    m_data.settings.AutoTransmit = m_data.settings.AutoTransmit == 1 ? 0 : 1;
    ShowAutoTransmitMark();
}

void frmMain::ShowAutoTransmitMark()
{
    stbSTATUS[2]->setText(m_data.settings.AutoTransmit == 1 ? QStringLiteral("自") : QString());
}

void frmMain::lbl_MouseDown(const QPoint &globalPos)
{
    m_optionMenu->popup(globalPos);
}

void frmMain::lbl_DblClick()
{
    if (!mscCOM.isOpen())
        mnuOPTION_Click(OptionItem::AddressBook);
}

void frmMain::mnuFILE_Click(FileItem item)
{
    if (item == FileItem::Exit)
        cmdExit_Click();
}

void frmMain::mnuOPTION_Click(OptionItem item)
{
    switch (item) {
    case OptionItem::Settings: {
        dlgOption dialog(m_data, m_platform, mscCOM, m_waiter, this);
        if (dialog.exec() == QDialog::Accepted)
            applyOptions();
        break;
    }
    case OptionItem::AddressBook: {
        dlgAdd dialog(m_data, m_platform, this);
        dialog.exec();
        fillSelectors();
        selectFirst();
        break;
    }
    case OptionItem::History: {
        dlgHistory dialog(
            m_data, [this] { return txtMail->toPlainText(); },
            [this](const QString &text) { txtMail->setPlainText(text); }, this);
        dialog.exec();
        break;
    }
    }
}

void frmMain::applyOptions()
{
    txtMail->setImeMode(m_data.settings.IME);
    m_returnStartsSend = m_data.settings.ReturnStart == 1;
    m_data.history.resize(m_data.settings.HistoryCount);
    ShowAutoTransmitMark();
}

void frmMain::mnuHELP_Click(HelpItem item)
{
    switch (item) {
    case HelpItem::Contents:
        help().showContents(this);
        break;
    case HelpItem::Search:
        help().showKeyword(this, QString());
        break;
    case HelpItem::About: {
        dlgAbout dialog(m_platform, this);
        dialog.exec();
        break;
    }
    }
}

HelpLauncher &frmMain::help()
{
    if (!m_platform.help) {
        // The help viewer of this run, for the dialogs' help buttons too.
        m_ownHelp = std::make_unique<LazyHelpWindow>(m_data.folder + HelpWindow::collectionFileName());
        m_platform.help = m_ownHelp.get();
    }
    return *m_platform.help;
}

void frmMain::keyPressEvent(QKeyEvent *event)
{
    // A main window has no default or cancel button: Return and Esc are pressed here. A push
    // button with the focus takes Return itself, as it takes Space.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto *focused = qobject_cast<QPushButton *>(focusWidget()); focused && focused->isEnabled())
            focused->click();
        else if (m_returnStartsSend)
            cmdButton->click();
        break;
    case Qt::Key_Escape:
        cmdCut->click();
        break;
    default:
        QMainWindow::keyPressEvent(event);
    }
}
