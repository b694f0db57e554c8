#include "ui/dlgmodemdet.h"

#include "modem/serialport.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "ui/builddata.h"
#include "ui/formcontrols.h"
#include "ui/platform.h"
#include "ui/uifonts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QPlainTextEdit>
#include <QPushButton>

using formcontrols::make;

dlgModemDet::dlgModemDet(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent)
    : QDialog(parent), m_data(data), m_platform(platform), m_detector(port, waiter)
{
    setObjectName(QStringLiteral("dlgModemDet"));
    setWindowTitle(QStringLiteral("モデム検出"));
    setFont(uifonts::gothic(9));
    cmdDetModem = make<QPushButton>(this, "cmdDetModem", QString(), QStringLiteral("検出開始"));
    cmdClose = make<QPushButton>(this, "cmdClose", QString(), QStringLiteral("閉じる"));
    chkRevision = make<QCheckBox>(this, "chkRevision", QString(), QStringLiteral("製品コードを表示する"));
    txtResult = make<QPlainTextEdit>(this, "txtResult", QString());
    txtResult->setReadOnly(true);
    cmdDetModem->setDefault(true);
    cmdClose->setAutoDefault(false);

    auto *grid = new QGridLayout(this);
    grid->addWidget(txtResult, 0, 0, 1, 3);
    grid->addWidget(chkRevision, 1, 0);
    grid->setColumnStretch(0, 1);
    grid->addWidget(cmdDetModem, 1, 1);
    grid->addWidget(cmdClose, 1, 2);
    resize(380, 320);

    connect(cmdDetModem, &QPushButton::clicked, this, [this] { cmdDetModem_Click(); });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
}

dlgModemDet::~dlgModemDet() = default;

QCoro::Task<> dlgModemDet::cmdDetModem_Click()
{
    cmdDetModem->setEnabled(false);
    m_result.clear();
    txtResult->clear();
    m_scanning = true;
    try {
        const int found = co_await m_detector.run(chkRevision->isChecked(), [this](const QString &line) {
            m_result += line;
            // The box breaks lines at LF; the CR of each pair would show as a stray mark.
            txtResult->setPlainText(QString(m_result).remove(QLatin1Char('\r')));
        });
        if (found != 0)
            m_data.settings.PortNumber = qint16(found);
    } catch (const AppError &error) {
        showFailure(error);
    }
    m_scanning = false;
    cmdDetModem->setEnabled(true);
    if (m_closeAfterScan)
        QDialog::done(*m_closeAfterScan);
}

void dlgModemDet::showFailure(const AppError &error)
{
    QString text;
    if (error.failure() == Failure::PortInUse)
        text = QStringLiteral("ポートがすでに使われております。\n他のソフトで使用中でないか、もう一度ご確認ください。");
    else
        text = QStringList{QStringLiteral("エラーです。"), QStringLiteral("オブジェクト : ") + error.source(),
                           QStringLiteral("エラー番号   : ") + QString::number(error.code()), error.description(),
                           builddata::versionText()}
                   .join(QLatin1Char('\n'));
    m_platform.boxes->show(this, text, MessageBoxes::Critical, MessageBoxes::Ok);
}

void dlgModemDet::done(int result)
{
    if (m_scanning) {
        m_closeAfterScan = result;
        m_detector.cancel();
        return;
    }
    QDialog::done(result);
}
