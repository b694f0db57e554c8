#include "ui/dlgoption.h"

#include "modem/devicekind.h"
#include "modem/voicemodems.h"
#include "store/appdata.h"
#include "store/passwordstore.h"
#include "ui/dlgmodemdet.h"
#include "ui/fieldtext.h"
#include "ui/formcontrols.h"
#include "ui/platform.h"
#include "ui/uifonts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabBar>
#include <QVBoxLayout>

using formcontrols::make;

namespace
{
const QString normalTab = QStringLiteral("基本設定");

QLabel *label(QWidget *parent, const QString &text)
{
    return new QLabel(text, parent);
}

// A field that belongs to the check box above it, set in under it.
QHBoxLayout *indented(QLabel *label, QLineEdit *field)
{
    auto *row = new QHBoxLayout;
    row->addSpacing(20);
    row->addWidget(label);
    row->addWidget(field);
    return row;
}

// Both frames keep their room, so the dialog keeps its size when the tab changes.
QFrame *tabFrame(QWidget *parent, const char *name)
{
    QFrame *frame = make<QFrame>(parent, name, QString());
    QSizePolicy policy = frame->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    frame->setSizePolicy(policy);
    return frame;
}
} // namespace

// The device kinds. The kinds with a settings group of their own have longer names:
// they widen the box only while one of them is chosen, so the tab keeps its layout for
// the others.
class KindBox : public QComboBox
{
public:
    using QComboBox::QComboBox;
    QSize sizeHint() const override { return narrowed(QComboBox::sizeHint()); }
    QSize minimumSizeHint() const override { return narrowed(QComboBox::minimumSizeHint()); }
    int plainWidth = 0; // the width the names of the kinds without a group need

private:
    QSize narrowed(QSize size) const
    {
        const DeviceKindRow *row = deviceKind(currentIndex());
        if (!row || row->group == OptionsGroup::None)
            size.setWidth(qMin(size.width(), plainWidth));
        return size;
    }
};

dlgOption::dlgOption(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent)
    : QDialog(parent), m_data(data), m_platform(platform), m_port(port), m_waiter(waiter)
{
    setObjectName(QStringLiteral("dlgOption"));
    setWindowTitle(QStringLiteral("設定"));
    setFont(uifonts::gothic(9));
    tbsSETTING = make<QTabBar>(this, "tbsSETTING", QString());
    tbsSETTING->addTab(normalTab);
    tbsSETTING->setTabToolTip(0, QStringLiteral("最低限の設定です"));
    tbsSETTING->addTab(QStringLiteral("その他の設定"));
    tbsSETTING->setTabToolTip(1, QStringLiteral("好みに合わせて設定してください"));
    fraNORMAL = tabFrame(this, "fraNORMAL");
    fraOTHER = tabFrame(this, "fraOTHER");
    createNormalTab();
    createOtherTab();
    OKButton = make<QPushButton>(this, "OKButton", QString(), QStringLiteral("OK"));
    CancelButton = make<QPushButton>(this, "CancelButton", QString(), QStringLiteral("ｷｬﾝｾﾙ"));
    cmdHELP = make<QPushButton>(this, "cmdHELP", QString(), QStringLiteral("ヘルプ"));
    OKButton->setDefault(true);
    layOut();
    // The design state: the first tab, tone dialling, the outside-line number disabled.
    fraOTHER->hide();
    optDIAL[0]->setChecked(true);
    txtOUTSIDE->setEnabled(false);
    lblOutside->setEnabled(false);
    connectControls();
    Form_Load();
}

dlgOption::~dlgOption() = default;

void dlgOption::createNormalTab()
{
    QWidget *f = fraNORMAL;
    cmbMODEM = make<KindBox>(f, "cmbMODEM", QStringLiteral("お使いの装置に合わせて選んでください"));
    QComboBox plain; // measures the names of the kinds without a group
    plain.setFont(cmbMODEM->font());
    for (const DeviceKindRow &row : deviceKinds()) {
        cmbMODEM->addItem(QString::fromUtf8(row.label));
        if (row.group == OptionsGroup::None)
            plain.addItem(QString::fromUtf8(row.label));
    }
    cmbMODEM->plainWidth = plain.sizeHint().width();

    txtCom = make<QLineEdit>(f, "txtCom", QStringLiteral("モデムの接続されているポートを指定してください"));
    cmdDetModem = make<QPushButton>(f, "cmdDetModem", QStringLiteral("モデムの接続されたポートを検索します"),
                                    QStringLiteral("..."));
    cmdDetModem->setAutoDefault(false);
    cmdDetModem->setFixedWidth(32);
    optDIAL[0] = make<QRadioButton>(f, "optDIAL_0", QStringLiteral("ご使用の回線がトーンの時に選んでください"),
                                    QStringLiteral("トーン"));
    optDIAL[1] = make<QRadioButton>(f, "optDIAL_1", QStringLiteral("ご使用の回線がパルスの時に選んでください"),
                                    QStringLiteral("パルス"));
    optDialSpeed[0] = nullptr;
    optDialSpeed[1] =
        make<QRadioButton>(f, "optDialSpeed_1", QStringLiteral("お好みに合わせて選んでください"), QStringLiteral("10"));
    optDialSpeed[2] =
        make<QRadioButton>(f, "optDialSpeed_2", QStringLiteral("お好みに合わせて選んでください"), QStringLiteral("20"));
    // The two button arrays share a frame but not their choice.
    auto *dial = new QButtonGroup(f);
    dial->addButton(optDIAL[0]);
    dial->addButton(optDIAL[1]);
    auto *speed = new QButtonGroup(f);
    speed->addButton(optDialSpeed[1]);
    speed->addButton(optDialSpeed[2]);
    sldVOLUME = make<QSlider>(f, "sldVOLUME", QStringLiteral("モデムのスピカー音量を設定できます"), Qt::Horizontal);
    sldVOLUME->setRange(VolumeLow, VolumeHigh);
    sldVOLUME->setSingleStep(1);
    sldVOLUME->setPageStep(1);
    sldVOLUME->setTickPosition(QSlider::TicksBelow);
    chkSpeakerOff = make<QCheckBox>(
        f, "chkSpeakerOff", QStringLiteral("会社内での使用など、モデムの音を消したいときにチェックをつけてください"),
        QStringLiteral("モデムの音を消す"));
    chkOutside = make<QCheckBox>(
        f, "chkOutside", QStringLiteral("外線発信番号が必要なときは、こちらにチェックをつけ、数字を設定してください"),
        QStringLiteral("外線発信番号を使用する"));
    chkInhibitModemManager =
        make<QCheckBox>(f, "chkInhibitModemManager",
                        QStringLiteral("ModemManager が管理するモジュールのポートを使うときにチェックしてください。"
                                       "管理者の許可が要り、通話のたびにモジュールのデータ通信が切れます"),
                        QStringLiteral("通話のたびに ModemManager にポートを手放させる"));
    lblOutside = make<QLabel>(f, "lblOutside", QString(), QStringLiteral("→番号："));
    txtOUTSIDE = make<QLineEdit>(f, "txtOUTSIDE", QStringLiteral("0発信など、必要な方はここに数字を指定してください"));

    auto *grid = new QGridLayout(f);
    grid->addWidget(label(f, QStringLiteral("モデムの種類：")), 0, 0);
    grid->addWidget(cmbMODEM, 0, 1, 1, 3);
    grid->addWidget(label(f, QStringLiteral("モデムのポート：")), 1, 0);
    grid->addWidget(txtCom, 1, 1);
    grid->addWidget(cmdDetModem, 1, 2);
    grid->addWidget(label(f, QStringLiteral("ダイヤル方式：")), 2, 0);
    grid->addWidget(optDIAL[0], 2, 1);
    grid->addWidget(optDIAL[1], 2, 2, 1, 2);
    grid->addWidget(label(f, QStringLiteral("ダイヤルスピード：")), 3, 0);
    grid->addWidget(optDialSpeed[1], 3, 1);
    grid->addWidget(optDialSpeed[2], 3, 2, 1, 2);
    auto *volume = new QHBoxLayout;
    volume->addWidget(label(f, QStringLiteral("低")));
    volume->addWidget(sldVOLUME);
    volume->addWidget(label(f, QStringLiteral("高")));
    grid->addWidget(label(f, QStringLiteral("スピーカー音量：")), 4, 0);
    grid->addLayout(volume, 4, 1, 1, 3);
    grid->addWidget(chkSpeakerOff, 5, 0, 1, 4);
    grid->addWidget(chkOutside, 6, 0, 1, 4);
    grid->addLayout(indented(lblOutside, txtOUTSIDE), 7, 0, 1, 4);
    grid->addWidget(chkInhibitModemManager, 8, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(9, 1);
    // Hidden for the kinds without a group of their own, where the tab keeps its layout.
    grid->addWidget(createToneGroup(f), 10, 0, 1, 4);
    grid->addWidget(createSipGroup(f), 11, 0, 1, 4);
    txtCom->setMaximumWidth(60);
}

QGroupBox *dlgOption::createToneGroup(QWidget *f)
{
    fraTONE = make<QGroupBox>(f, "fraTONE", QString(), QStringLiteral("トーンの設定"));
    txtToneLength =
        make<QLineEdit>(fraTONE, "txtToneLength", QStringLiteral("1つの数字の音を鳴らす長さです（40～500 ミリ秒）"));
    lblToneGap = make<QLabel>(fraTONE, "lblToneGap", QString(), QStringLiteral("音と音の間隔："));
    txtToneGap =
        make<QLineEdit>(fraTONE, "txtToneGap", QStringLiteral("数字と数字の間の無音の長さです（40～500 ミリ秒）"));
    lblVoiceModem = make<QLabel>(fraTONE, "lblVoiceModem", QString(), QStringLiteral("モジュール："));
    cmbVoiceModem = make<QComboBox>(fraTONE, "cmbVoiceModem",
                                    QStringLiteral("ModemManager が管理するモジュールです。空にすると、音声通話の"
                                                   "できるモジュールが 1 台だけのときそれを使います（IMEI かポートを"
                                                   "入力することもできます）"));
    cmbVoiceModem->setEditable(true);
    lblVoiceModems = make<QLabel>(fraTONE, "lblVoiceModems", QString(), QString());
    lblVoiceModems->setWordWrap(true);
    lblKindNote = make<QLabel>(fraTONE, "lblKindNote", QString(), QString());
    lblKindNote->setWordWrap(true);
    auto *grid = new QGridLayout(fraTONE);
    grid->addWidget(label(fraTONE, QStringLiteral("音の長さ：")), 0, 0);
    grid->addWidget(txtToneLength, 0, 1);
    grid->addWidget(label(fraTONE, QStringLiteral("ミリ秒")), 0, 2);
    grid->addWidget(lblToneGap, 1, 0);
    grid->addWidget(txtToneGap, 1, 1);
    grid->addWidget(label(fraTONE, QStringLiteral("ミリ秒")), 1, 2);
    grid->addWidget(lblVoiceModem, 2, 0);
    grid->addWidget(cmbVoiceModem, 2, 1, 1, 3);
    grid->addWidget(lblVoiceModems, 3, 0, 1, 4);
    grid->addWidget(lblKindNote, 4, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    for (QLineEdit *number : {txtToneLength, txtToneGap})
        number->setMaximumWidth(60);
    fraTONE->hide();
    return fraTONE;
}

QGroupBox *dlgOption::createSipGroup(QWidget *f)
{
    fraSIP = make<QGroupBox>(f, "fraSIP", QString(), QStringLiteral("インターネット電話の設定"));
    txtSipServer =
        make<QLineEdit>(fraSIP, "txtSipServer",
                        QStringLiteral("プロバイダーのSIPサーバー、またはセンターのゲートウェイです（ホスト名、"
                                       "またはホスト名:ポート）"));
    txtSipUser = make<QLineEdit>(fraSIP, "txtSipUser", QStringLiteral("SIPアカウントのユーザー名です"));
    txtSipPassword =
        make<QLineEdit>(fraSIP, "txtSipPassword",
                        QStringLiteral("デスクトップのキーリングに保存します。空にすると登録せずに直接かけます"));
    txtSipPassword->setEchoMode(QLineEdit::Password);
    cmbSipTransport = make<QComboBox>(fraSIP, "cmbSipTransport",
                                      QStringLiteral("プロバイダーが指定する SIP の通信方式です（ふつうは UDP）"));
    cmbSipTransport->addItems({QStringLiteral("UDP"), QStringLiteral("TCP"), QStringLiteral("TLS")});
    txtSipProxy = make<QLineEdit>(fraSIP, "txtSipProxy",
                                  QStringLiteral("プロバイダーがアウトバウンドプロキシを指定するときだけ入力します"
                                                 "（ホスト名、またはホスト名:ポート）"));
    lblSipTlsNote = make<QLabel>(
        fraSIP, "lblSipTlsNote", QString(),
        QStringLiteral("TLS は通信を暗号化しますが、このシステムの baresip（Debian 12 の 1.0.0）は"
                       "サーバーの証明書を確かめられません。相手が本物のサーバーかどうかは保証されません。"));
    lblSipTlsNote->setWordWrap(true);
    lblSipTlsNote->hide();
    connect(cmbSipTransport, &QComboBox::currentIndexChanged, this,
            [this](int index) { lblSipTlsNote->setVisible(index == 2); });
    auto *note = make<QLabel>(fraSIP, "lblSipNote", QString(),
                              QStringLiteral("SIPアカウントでセンターにかけます。ポートは使いません。"
                                             "パスワードはファイルには書かず、キーリングに保存します。"));
    note->setWordWrap(true);
    auto *grid = new QGridLayout(fraSIP);
    grid->addWidget(label(fraSIP, QStringLiteral("サーバー：")), 0, 0);
    grid->addWidget(txtSipServer, 0, 1);
    grid->addWidget(label(fraSIP, QStringLiteral("ユーザー：")), 1, 0);
    grid->addWidget(txtSipUser, 1, 1);
    grid->addWidget(label(fraSIP, QStringLiteral("パスワード：")), 2, 0);
    grid->addWidget(txtSipPassword, 2, 1);
    grid->addWidget(label(fraSIP, QStringLiteral("通信方式：")), 3, 0);
    grid->addWidget(cmbSipTransport, 3, 1);
    grid->addWidget(label(fraSIP, QStringLiteral("プロキシ：")), 4, 0);
    grid->addWidget(txtSipProxy, 4, 1);
    grid->addWidget(lblSipTlsNote, 5, 0, 1, 2);
    grid->addWidget(note, 6, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    fraSIP->hide();
    return fraSIP;
}

void dlgOption::createOtherTab()
{
    QWidget *f = fraOTHER;
    txtSTRINGS = make<QLineEdit>(f, "txtSTRINGS",
                                 QStringLiteral("モデムによっては、1度にメッセージを送ることができない場合があります。"
                                                "その場合はここの数字を1～10の間で変えてみてください"));
    txtINTERVAL = make<QLineEdit>(f, "txtINTERVAL", QStringLiteral("メール送信中の、送信間隔の秒数を指定してください"));
    chkAUTO = make<QCheckBox>(f, "chkAUTO", QStringLiteral("送信ボタンを押さなくても、自動で送信できます"),
                              QStringLiteral("自動で送信する"));
    chkIME = make<QCheckBox>(f, "chkIME", QStringLiteral("ＩＭＥを自動起動したいときにチェックしてください"),
                             QStringLiteral("IMEを自動起動する"));
    chkHISTORY =
        make<QCheckBox>(f, "chkHISTORY", QStringLiteral("送信履歴を付けたい方は、ここにチェックを付けてください"),
                        QStringLiteral("送信履歴をつける"));
    lblHISTORY = make<QLabel>(f, "lblHISTORY", QString(), QStringLiteral("→送信履歴の数："));
    txtHISTORY = make<QLineEdit>(f, "txtHISTORY", QStringLiteral("送信履歴の数を指定できます"));
    chkOkCheck = make<QCheckBox>(f, "chkOkCheck",
                                 QStringLiteral("もし、うまく動作しないようでしたらこのチェックをつけてください。"
                                                "(あくまで応急処置てきな物です)"),
                                 QStringLiteral("OKチェックを無視する"));
    txtExCommand =
        make<QLineEdit>(f, "txtExCommand", QStringLiteral("独自の拡張コマンドが必要な時だけ、ここに記入してください"));
    chkReturnStart = make<QCheckBox>(f, "chkReturnStart",
                                     QStringLiteral("メールの文章を作成中に、Returnキーを押したときに、"
                                                    "メールの送信を開始するかどうかを設定します"),
                                     QStringLiteral("「Return」キーで送信開始"));

    auto *grid = new QGridLayout(f);
    grid->addWidget(label(f, QStringLiteral("一回に送信する文字数：")), 0, 0);
    grid->addWidget(txtSTRINGS, 0, 1);
    grid->addWidget(label(f, QStringLiteral("メール送信中の送信間隔：")), 1, 0);
    grid->addWidget(txtINTERVAL, 1, 1);
    grid->addWidget(label(f, QStringLiteral("秒")), 1, 2);
    grid->addWidget(chkAUTO, 2, 0, 1, 4);
    grid->addWidget(chkIME, 3, 0, 1, 4);
    grid->addWidget(chkHISTORY, 4, 0, 1, 4);
    QHBoxLayout *history = indented(lblHISTORY, txtHISTORY);
    history->addStretch();
    grid->addLayout(history, 5, 0, 1, 4);
    grid->addWidget(chkOkCheck, 6, 0, 1, 4);
    grid->addWidget(label(f, QStringLiteral("拡張コマンド：")), 7, 0);
    grid->addWidget(txtExCommand, 7, 1, 1, 3);
    grid->addWidget(chkReturnStart, 8, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(9, 1);
    for (QLineEdit *number : {txtSTRINGS, txtINTERVAL, txtHISTORY})
        number->setMaximumWidth(60);
}

void dlgOption::layOut()
{
    auto *pages = new QGridLayout;
    pages->addWidget(fraNORMAL, 0, 0);
    pages->addWidget(fraOTHER, 0, 0);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addWidget(CancelButton);
    buttons->addWidget(cmdHELP);
    auto *top = new QVBoxLayout(this);
    top->addWidget(tbsSETTING);
    top->addLayout(pages);
    top->addLayout(buttons);
    for (QFrame *frame : {fraNORMAL, fraOTHER})
        frame->setFrameShape(QFrame::StyledPanel);
}

void dlgOption::connectControls()
{
    connect(tbsSETTING, &QTabBar::currentChanged, this, &dlgOption::tbsSETTING_Click);
    connect(optDIAL[0], &QRadioButton::toggled, this, &dlgOption::optDIAL_Click);
    connect(chkHISTORY, &QCheckBox::toggled, this, &dlgOption::chkHISTORY_Click);
    connect(chkOutside, &QCheckBox::toggled, this, &dlgOption::chkOutside_Click);
    connect(cmbMODEM, &QComboBox::activated, this, &dlgOption::cmbMODEM_Click);
    connect(cmbMODEM, &QComboBox::currentIndexChanged, this, &dlgOption::cmbMODEM_Change);
    connect(cmdDetModem, &QPushButton::clicked, this, &dlgOption::cmdDetModem_Click);
    connect(OKButton, &QPushButton::clicked, this, &dlgOption::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(cmdHELP, &QPushButton::clicked, this, &dlgOption::cmdHELP_Click);
}

void dlgOption::Form_Load()
{
    const Settings &s = m_data.settings;
    txtCom->setText(QString::number(s.PortNumber));
    chkIME->setChecked(s.IME != 0);
    if (s.TonePulse == QStringLiteral("P"))
        optDIAL[1]->setChecked(true);
    chkAUTO->setChecked(s.AutoTransmit != 0);
    txtOUTSIDE->setText(s.OutSide);
    chkOutside->setChecked(s.OutsideOn != 0);
    chkSpeakerOff->setChecked(s.SpeakerOff != 0);
    chkInhibitModemManager->setChecked(s.InhibitModemManager != 0);
    // A stored value no control can show opens as the nearest choice; OK stores what is shown.
    sldVOLUME->setValue(qBound(VolumeLow, int(s.SpeakerVolume), VolumeHigh));
    cmbMODEM->setCurrentIndex(qBound(0, int(s.ModemKind), cmbMODEM->count() - 1));
    cmbMODEM_Click();
    chkHISTORY->setChecked(s.History != 0);
    txtHISTORY->setText(QString::number(s.HistoryCount));
    txtSTRINGS->setText(QString::number(s.SendStrings));
    // The choice is the stored value in tens (19 shows "10"); only what that cannot show goes to the nearest.
    const int tens = s.DialSpeed / 10;
    optDialSpeed[tens == 1 || tens == 2 ? tens : s.DialSpeed <= 15 ? 1 : 2]->setChecked(true);
    chkOkCheck->setChecked(s.OkCheckNo != 0);
    txtExCommand->setText(s.ExCommand);
    chkReturnStart->setChecked(s.ReturnStart != 0);
    txtINTERVAL->setText(QString::number(s.MailInterval));
    txtToneLength->setText(QString::number(s.ToneLength));
    txtToneGap->setText(QString::number(s.ToneGap));
    txtSipServer->setText(s.SipServer);
    txtSipUser->setText(s.SipUser);
    cmbSipTransport->setCurrentIndex(s.SipTransport == QLatin1String("tls")   ? 2
                                     : s.SipTransport == QLatin1String("tcp") ? 1
                                                                              : 0);
    txtSipProxy->setText(s.SipProxy);
    cmbVoiceModem->setEditText(s.VoiceModem);
    loadSipPassword();
    cmbMODEM_Change();
    optDIAL_Click();
    chkHISTORY_Click();
}

QString dlgOption::sipPasswordKey() const
{
    return ::sipPasswordKey(txtSipUser->text(), txtSipServer->text());
}

// The stored account's password fills its field when the keyring answers, unless the
// user has typed one by then. Without a keyring the field cannot be used.
void dlgOption::loadSipPassword()
{
    if (!m_platform.passwords) {
        txtSipPassword->setEnabled(false);
        return;
    }
    if (m_data.settings.SipServer.trimmed().isEmpty())
        return;
    QPointer<dlgOption> self(this);
    m_platform.passwords->readPassword(sipPasswordKey(), [self](QString password, QString error) {
        if (!self || !error.isEmpty() || self->txtSipPassword->isModified())
            return;
        self->m_storedPassword = password;
        self->txtSipPassword->setText(password);
    });
}

void dlgOption::tbsSETTING_Click()
{
    const bool normal = tbsSETTING->tabText(tbsSETTING->currentIndex()) == normalTab;
    fraNORMAL->setVisible(normal);
    fraOTHER->setVisible(!normal);
}

// Pulse dialling has a speed; tone has none. The chosen speed stays selected either way.
void dlgOption::optDIAL_Click()
{
    const bool pulse = optDIAL[1]->isChecked();
    optDialSpeed[1]->setEnabled(pulse);
    optDialSpeed[2]->setEnabled(pulse);
}

void dlgOption::chkHISTORY_Click()
{
    lblHISTORY->setEnabled(chkHISTORY->isChecked());
    txtHISTORY->setEnabled(chkHISTORY->isChecked());
}

void dlgOption::chkOutside_Click()
{
    lblOutside->setEnabled(chkOutside->isChecked());
    txtOUTSIDE->setEnabled(chkOutside->isChecked());
}

void dlgOption::cmbMODEM_Click()
{
    const DeviceKindRow *row = deviceKind(cmbMODEM->currentIndex());
    if (!row || !row->trial)
        return;
    m_platform.boxes->show(this,
                           QStringLiteral("「") + cmbMODEM->currentText() + QStringLiteral("」への送信は、\n") +
                               QStringLiteral("現在テスト段階のため、まだうまく送信できません。"),
                           MessageBoxes::Critical, MessageBoxes::Ok);
}

// The chosen kind's settings group (the tone lengths, the account) and whether the
// port applies to it.
void dlgOption::cmbMODEM_Change()
{
    const DeviceKindRow *row = deviceKind(cmbMODEM->currentIndex());
    const OptionsGroup group = row ? row->group : OptionsGroup::None;
    fraTONE->setVisible(group == OptionsGroup::ToneLength || group == OptionsGroup::Tones ||
                        group == OptionsGroup::Gap);
    fraSIP->setVisible(group == OptionsGroup::Account);
    cmbMODEM->updateGeometry();
    lblToneGap->setEnabled(group == OptionsGroup::Tones || group == OptionsGroup::Gap);
    txtToneGap->setEnabled(group == OptionsGroup::Tones || group == OptionsGroup::Gap);
    txtToneLength->setEnabled(group != OptionsGroup::Gap);
    for (QWidget *w : std::initializer_list<QWidget *>{lblVoiceModem, cmbVoiceModem, lblVoiceModems})
        w->setVisible(group == OptionsGroup::Gap);
    if (group == OptionsGroup::Gap)
        askForModems();
    const bool portUsed = !row || row->usesPort;
    txtCom->setEnabled(portUsed);
    cmdDetModem->setEnabled(portUsed);
    chkInhibitModemManager->setEnabled(portUsed);
    lblKindNote->setText(row ? QString::fromUtf8(row->optionsNote) : QString());
}

// Lists ModemManager's modules with voice calls, once a dialog, without waiting for them.
void dlgOption::askForModems()
{
    if (std::exchange(m_modemsAsked, true))
        return;
    lblVoiceModems->setText(QStringLiteral("ModemManager に問い合わせています…"));
    QPointer<dlgOption> self(this);
    listVoiceModems([self](const QList<VoiceModem> &modems, const QString &problem) {
        if (!self)
            return;
        const QString typed = self->cmbVoiceModem->currentText();
        for (const VoiceModem &m : modems) {
            self->cmbVoiceModem->addItem(m.text, m.imei);
            if (!typed.isEmpty() && namesModem(typed, m))
                self->cmbVoiceModem->setCurrentIndex(self->cmbVoiceModem->count() - 1);
        }
        self->lblVoiceModems->setText(!problem.isEmpty() ? problem
                                      : modems.isEmpty() ? QStringLiteral("音声通話のできるモジュールがありません。")
                                                         : QStringLiteral("%1 台見つかりました。").arg(modems.size()));
    });
}

void dlgOption::cmdDetModem_Click()
{
    dlgModemDet detection(m_data, m_platform, m_port, m_waiter, this);
    if (detection.exec() == QDialog::Accepted)
        txtCom->setText(QString::number(m_data.settings.PortNumber));
}

// Every number in use must be whole text in its range: nothing is stored until all of them are.
bool dlgOption::fieldsInRange()
{
    const struct {
        QLineEdit *field;
        int minimum, maximum;
        QString message;
    } checks[] = {
        {txtCom, 1, 15, QStringLiteral("MODEMのポートは1～15の範囲で指定してください。")},
        {txtSTRINGS, 1, 20, QStringLiteral("一回に送信する文字数は1～20の範囲で指定してください。")},
        {txtINTERVAL, 1, 10, QStringLiteral("メール送信中の送信間隔は1～10の範囲で指定してください。")},
        {txtHISTORY, 0, 32766, QStringLiteral("送信履歴の数は0～32766の範囲で指定してください。")},
        {txtToneLength, 40, 500, QStringLiteral("音の長さは40～500の範囲で指定してください。")},
        {txtToneGap, 40, 500, QStringLiteral("音と音の間隔は40～500の範囲で指定してください。")},
    };
    for (const auto &check : checks) {
        if (!fieldUsed(check.field))
            continue;
        if (!fieldtext::parseInt16(check.field->text(), check.minimum, check.maximum)) {
            m_platform.boxes->show(this, check.message, MessageBoxes::Warning, MessageBoxes::Ok);
            check.field->setFocus();
            return false;
        }
    }
    return true;
}

void dlgOption::storeSettings()
{
    const auto number = [](const QLineEdit *field) { return *fieldtext::parseInt16(field->text(), -32768, 32767); };
    const auto ticked = [](const QCheckBox *box) { return qint16(box->isChecked() ? 1 : 0); };
    Settings &s = m_data.settings;
    if (fieldUsed(txtCom))
        s.PortNumber = number(txtCom);
    s.IME = ticked(chkIME);
    s.TonePulse = optDIAL[1]->isChecked() ? QStringLiteral("P") : QStringLiteral("T");
    s.AutoTransmit = ticked(chkAUTO);
    s.OutSide = txtOUTSIDE->text();
    s.OutsideOn = ticked(chkOutside);
    s.SpeakerOff = ticked(chkSpeakerOff);
    if (chkInhibitModemManager->isEnabled())
        s.InhibitModemManager = ticked(chkInhibitModemManager);
    s.SpeakerVolume = qint16(sldVOLUME->value());
    s.ModemKind = qint16(cmbMODEM->currentIndex());
    s.History = ticked(chkHISTORY);
    // The count's box is checked only while the history is on; off, what it holds is kept
    // only when it is a count the box would take (a negative one would spoil the file).
    if (const std::optional<qint16> count = fieldtext::parseInt16(txtHISTORY->text(), 0, 32766))
        s.HistoryCount = *count;
    s.SendStrings = number(txtSTRINGS);
    s.DialSpeed = optDialSpeed[1]->isChecked() ? 10 : 20;
    s.OkCheckNo = ticked(chkOkCheck);
    s.ExCommand = txtExCommand->text();
    s.ReturnStart = ticked(chkReturnStart);
    s.MailInterval = number(txtINTERVAL);
    if (fieldUsed(txtToneLength))
        s.ToneLength = number(txtToneLength);
    if (fieldUsed(txtToneGap))
        s.ToneGap = number(txtToneGap);
    if (!fraTONE->isHidden() && cmbVoiceModem->isVisibleTo(fraTONE)) {
        // A module chosen from the list is stored by its IMEI.
        const int chosen = cmbVoiceModem->findText(cmbVoiceModem->currentText());
        s.VoiceModem =
            chosen >= 0 ? cmbVoiceModem->itemData(chosen).toString() : cmbVoiceModem->currentText().trimmed();
    }
    if (fieldUsed(txtSipServer)) {
        s.SipServer = txtSipServer->text().trimmed();
        s.SipUser = txtSipUser->text().trimmed();
        s.SipTransport = cmbSipTransport->currentText().toLower();
        s.SipProxy = txtSipProxy->text().trimmed();
    }
}

// A field the chosen device kind does not use (disabled, or in the hidden group of
// the newer kinds) is neither checked nor stored: the settings keep their value.
bool dlgOption::fieldUsed(const QLineEdit *field) const
{
    for (const QGroupBox *group : {fraTONE, fraSIP})
        if (group->isHidden() && group->isAncestorOf(field))
            return false;
    return field->isEnabled();
}

// A changed SIP password (or the same one under another account) goes to the keyring
// first; the settings are stored only once it is there, and a keyring that refuses
// it keeps the dialog open with the reason. The password follows the account: once it
// is under the new one, the old account's entry goes, unless a line of the queue still
// calls through that account.
void dlgOption::OKButton_Click()
{
    if (!fieldsInRange())
        return;
    const bool accountChanged = txtSipServer->text().trimmed() != m_data.settings.SipServer.trimmed() ||
                                txtSipUser->text().trimmed() != m_data.settings.SipUser.trimmed();
    if (!fieldUsed(txtSipPassword) || (txtSipPassword->text() == m_storedPassword && !accountChanged)) {
        storeSettings();
        accept();
        return;
    }
    OKButton->setEnabled(false);
    QPointer<dlgOption> self(this);
    const QString password = txtSipPassword->text();
    const QString oldKey = m_data.settings.SipServer.trimmed().isEmpty()
                               ? QString()
                               : ::sipPasswordKey(m_data.settings.SipUser, m_data.settings.SipServer);
    const bool dropOld = accountChanged && !oldKey.isEmpty() && oldKey != sipPasswordKey() &&
                         !queueLineUsesAccount(m_data.folder, oldKey);
    m_platform.passwords->writePassword(sipPasswordKey(), password, [self, password, dropOld, oldKey](QString error) {
        if (!self)
            return;
        self->OKButton->setEnabled(true);
        if (!error.isEmpty()) {
            self->m_platform.boxes->show(self, QStringLiteral("パスワードをキーリングに保存できません。\n") + error,
                                         MessageBoxes::Warning, MessageBoxes::Ok);
            return;
        }
        self->m_storedPassword = password;
        if (dropOld)
            self->m_platform.passwords->writePassword(oldKey, QString(), [](QString) {});
        self->storeSettings();
        self->accept();
    });
}

void dlgOption::cmdHELP_Click()
{
    if (m_platform.help)
        m_platform.help->showKeyword(this, QStringLiteral("設定について"));
}
