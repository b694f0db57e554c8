#include "ui/dlgabout.h"

#include "ui/appicon.h"
#include "ui/builddata.h"
#include "ui/formcontrols.h"
#include "ui/platform.h"
#include "ui/uifonts.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

using formcontrols::make;
using formcontrols::twips;

namespace
{
const QColor linkBlue(0, 0, 255);
const QColor hoverRed(255, 0, 0);
} // namespace

dlgAbout::dlgAbout(Platform &platform, QWidget *parent) : QDialog(parent), m_platform(platform)
{
    setObjectName(QStringLiteral("dlgAbout"));
    setWindowTitle(QStringLiteral("バージョン情報"));
    setFont(uifonts::gothic(9));
    setFixedSize(twips(0, 0, 5055, 3735).size());
    setMouseTracking(true);

    cmdICON =
        make<QPushButton>(this, "cmdICON", QStringLiteral("押しても何もなりません^_^;"), fumidoriIcon(), QString());
    cmdICON->setGeometry(twips(120, 120, 615, 615));
    cmdICON->setIconSize(QSize(32, 32));
    cmdICON->setAutoDefault(false);
    Label1 = make<QLabel>(this, "Label1", QString(), QStringLiteral("Fumidori"));
    QFont title = uifonts::gothic(16);
    title.setPointSizeF(15.75);
    title.setItalic(true);
    Label1->setFont(title);
    Label1->move(twips(840, 240, 0, 0).topLeft());
    Label1->adjustSize();
    lblVERSION = make<QLabel>(this, "lblVERSION", QString(), QStringLiteral("Ver"));
    lblVERSION->move(twips(2760, 390, 0, 0).topLeft());
    lblData = make<QLabel>(this, "lblData", QString());
    lblData->setGeometry(twips(360, 840, 4335, 1455));
    lblData->setWordWrap(true);
    lblData->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblSupport = make<QLabel>(this, "lblSupport", QString(), QStringLiteral("サポート先"));
    lblSupport->setGeometry(twips(360, 2400, 870, 195));
    lblHOMEPAGE =
        make<QLabel>(this, "lblHOMEPAGE", QStringLiteral("最新版のアップロード先です"), builddata::homePage());
    lblHOMEPAGE->setGeometry(twips(360, 2640, 3315, 195));
    lblMAIL = make<QLabel>(this, "lblMAIL", QStringLiteral("作者にメールをするときはこちら"), builddata::mailAddress());
    lblMAIL->setGeometry(twips(360, 2880, 1815, 195));
    OKButton = make<QPushButton>(this, "OKButton", QString(), QStringLiteral("OK"));
    OKButton->setGeometry(twips(1920, 3240, 1215, 375));
    OKButton->setDefault(true);

    for (QLabel *link : {lblHOMEPAGE, lblMAIL}) {
        QFont underlined = link->font();
        underlined.setUnderline(true);
        link->setFont(underlined);
        link->setCursor(Qt::PointingHandCursor);
        link->setMouseTracking(true);
        link->installEventFilter(this);
        setLinkColor(link, linkBlue);
    }
    // A one-line label grows to its text, so that neither the address nor the low strokes of
    // the Japanese fallback font are cut off.
    for (QLabel *line : {lblSupport, lblHOMEPAGE, lblMAIL})
        line->resize(line->size().expandedTo(line->sizeHint()));
    connect(cmdICON, &QPushButton::clicked, OKButton, qOverload<>(&QWidget::setFocus));
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    Form_Load();
    OKButton->setFocus();
}

dlgAbout::~dlgAbout() = default;

QString dlgAbout::notice()
{
    const QString author = builddata::authorName();
    return QStringList{
        QStringLiteral("　フリーウェアです。無料でお使いいただけます。"),
        QStringLiteral("　このソフトによるいかなる問題についても、%1は一切保証いたしません。").arg(author),
        QStringLiteral("　著作権は%1にあります。").arg(author),
        QStringLiteral("　悪意ある目的での使用を禁止します。"),
    }
        .join(QStringLiteral("\r\n"));
}

void dlgAbout::Form_Load()
{
    lblVERSION->setText(builddata::versionText());
    lblVERSION->adjustSize();
    // A label breaks lines at LF; the CR of each CR LF pair would show as a stray mark.
    lblData->setText(notice().remove(QLatin1Char('\r')));
}

void dlgAbout::setLinkColor(QLabel *label, const QColor &color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void dlgAbout::openLink(QLabel *label)
{
    const QString target =
        label == lblMAIL ? QStringLiteral("mailto:") + builddata::mailAddress() : builddata::homePage();
    if (m_platform.urls)
        m_platform.urls->open(QUrl(target));
    accept();
}

bool dlgAbout::eventFilter(QObject *watched, QEvent *event)
{
    auto *label = qobject_cast<QLabel *>(watched);
    if (label && (label == lblHOMEPAGE || label == lblMAIL)) {
        if (event->type() == QEvent::MouseMove) {
            setLinkColor(label, hoverRed);
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton &&
            label->rect().contains(static_cast<QMouseEvent *>(event)->position().toPoint())) {
            openLink(label);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// The pointer over the background: both links turn blue again.
void dlgAbout::mouseMoveEvent(QMouseEvent *event)
{
    setLinkColor(lblHOMEPAGE, linkBlue);
    setLinkColor(lblMAIL, linkBlue);
    QDialog::mouseMoveEvent(event);
}

// Return and Esc both press OK.
void dlgAbout::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OKButton->click();
        return;
    }
    QDialog::keyPressEvent(event);
}
