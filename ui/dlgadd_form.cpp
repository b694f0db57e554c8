#include "ui/dlgadd.h"

#include "store/appdata.h"
#include "ui/formcontrols.h"
#include "ui/pictures.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

// The address book editor's controls and how the two modes show them.

using formcontrols::make;

namespace
{
const char *const timeNames[3] = {"番号送信までの時間", "メール送信までの時間", "回線切断までの時間"};

// Hidden controls keep their room so that the dialog does not jump when the mode changes.
void keepRoomWhenHidden(QWidget *w)
{
    QSizePolicy policy = w->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    w->setSizePolicy(policy);
}
} // namespace

void dlgAdd::createControls()
{
    optPoint = make<QRadioButton>(this, "optPoint", QStringLiteral("送信相手を編集するよ"), QStringLiteral("送信相手"));
    optCenter =
        make<QRadioButton>(this, "optCenter", QStringLiteral("センターを編集するよ"), QStringLiteral("センター"));
    fraPoint = make<QGroupBox>(this, "fraPoint", QString(), QStringLiteral("送信相手"));
    lstNumber = make<QListWidget>(fraPoint, "lstNumber", QString());
    lstCenter = make<QListWidget>(fraPoint, "lstCenter", QString());
    lblAddName = make<QLabel>(this, "lblAddName", QString(), QStringLiteral("相手の登録名"));
    txtAddName = make<QLineEdit>(this, "txtAddName", QStringLiteral("名前を記入してね"));
    lblAddNumber = make<QLabel>(this, "lblAddNumber", QString(), QStringLiteral("相手の電話番号"));
    txtAddNumber = make<QLineEdit>(this, "txtAddNumber", QStringLiteral("番号を記入してね"));
    lblLinkCenetr = make<QLabel>(this, "lblLinkCenetr", QString(), QStringLiteral("センター名"));
    cmbCenetr = make<QComboBox>(this, "cmbCenetr", QStringLiteral("相手が契約しているセンターを指定してください"));
    cmbCenterKind = make<QComboBox>(this, "cmbCenterKind", QString());
    cmbCenterKind->addItems(centerKindNames());
    lblMaxText = make<QLabel>(this, "lblMaxText", QString(), QStringLiteral("最大文字数"));
    txtMaxText = make<QLineEdit>(this, "txtMaxText", QStringLiteral("最大文字数(半角で)を記入してね"));
    for (int i = 0; i < 3; ++i) {
        const QByteArray index = QByteArray::number(i);
        lblTIME[i] = make<QLabel>(this, ("lblTIME_" + index).constData(), QString(), QString::fromUtf8(timeNames[i]));
        txtTIME[i] = make<QLineEdit>(this, ("txtTIME_" + index).constData(), QString());
        lblSEC[i] = make<QLabel>(this, ("lblSEC_" + index).constData(), QString(), QStringLiteral("秒"));
    }
    cmdAdd = make<QPushButton>(this, "cmdAdd", QStringLiteral("新規で追加するときは、先に押してください"),
                               QStringLiteral("新規追加"));
    cmdOverWrite = make<QPushButton>(this, "cmdOverWrite", QString(), QStringLiteral("上書き"));
    cmdDEL = make<QPushButton>(fraPoint, "cmdDEL", QStringLiteral("削除"), pictures::remove(), QString());
    cmdUP = make<QPushButton>(fraPoint, "cmdUP", QStringLiteral("１つ上に移動"), pictures::moveUp(), QString());
    cmdDOWN = make<QPushButton>(fraPoint, "cmdDOWN", QStringLiteral("１つ下に移動"), pictures::moveDown(), QString());
    OKButton = make<QPushButton>(this, "OKButton", QStringLiteral("閉じます"), QStringLiteral("閉じる"));
    cmdHELP = make<QPushButton>(this, "cmdHELP", QString(), QStringLiteral("ヘルプ"));
    // Return in a field must not press a button: every change asks first, and closing ends nothing.
    for (QPushButton *b : {cmdAdd, cmdOverWrite, cmdDEL, cmdUP, cmdDOWN, OKButton, cmdHELP})
        b->setAutoDefault(false);
    for (QWidget *w : std::initializer_list<QWidget *>{lstCenter, cmbCenterKind, lblMaxText, txtMaxText})
        keepRoomWhenHidden(w);
    for (int i = 0; i < 3; ++i)
        for (QWidget *w : std::initializer_list<QWidget *>{lblTIME[i], txtTIME[i], lblSEC[i]})
            keepRoomWhenHidden(w);
}

void dlgAdd::layOut()
{
    auto *listBox = new QGridLayout(fraPoint);
    listBox->addWidget(lstNumber, 0, 0, 1, 4);
    listBox->addWidget(lstCenter, 0, 0, 1, 4);
    listBox->addWidget(cmdDEL, 1, 0);
    listBox->setColumnStretch(1, 1);
    listBox->addWidget(cmdUP, 1, 2);
    listBox->addWidget(cmdDOWN, 1, 3);
    fraPoint->setMinimumWidth(200);

    auto *fields = new QGridLayout;
    fields->addWidget(lblAddName, 0, 0, 1, 3);
    fields->addWidget(txtAddName, 1, 0, 1, 3);
    fields->addWidget(lblAddNumber, 2, 0, 1, 3);
    fields->addWidget(txtAddNumber, 3, 0, 1, 3);
    fields->addWidget(lblLinkCenetr, 4, 0, 1, 3);
    fields->addWidget(cmbCenetr, 5, 0, 1, 3);
    fields->addWidget(cmbCenterKind, 5, 0, 1, 3);
    fields->addWidget(lblMaxText, 6, 0);
    fields->addWidget(txtMaxText, 6, 1);
    for (int i = 0; i < 3; ++i) {
        fields->addWidget(lblTIME[i], 7 + i, 0);
        fields->addWidget(txtTIME[i], 7 + i, 1);
        fields->addWidget(lblSEC[i], 7 + i, 2);
        txtTIME[i]->setMaximumWidth(60);
    }
    txtMaxText->setMaximumWidth(60);
    fields->setRowStretch(10, 1);

    auto *edit = new QHBoxLayout;
    edit->addWidget(cmdAdd);
    edit->addWidget(cmdOverWrite);
    auto *close = new QHBoxLayout;
    close->addWidget(OKButton);
    close->addWidget(cmdHELP);
    fields->addLayout(edit, 11, 0, 1, 3);
    fields->addLayout(close, 12, 0, 1, 3);

    auto *modes = new QHBoxLayout;
    modes->addWidget(optPoint);
    modes->addWidget(optCenter);
    modes->addStretch();
    auto *body = new QHBoxLayout;
    body->addWidget(fraPoint, 1);
    body->addLayout(fields);
    auto *top = new QVBoxLayout(this);
    top->addLayout(modes);
    top->addLayout(body);
}

void dlgAdd::showMode(bool center)
{
    fraPoint->setTitle(center ? QStringLiteral("センター") : QStringLiteral("送信相手"));
    lblAddName->setText(center ? QStringLiteral("センターの名前") : QStringLiteral("相手の登録名"));
    lblAddNumber->setText(center ? QStringLiteral("センターの番号") : QStringLiteral("相手の電話番号"));
    lblLinkCenetr->setText(center ? QStringLiteral("センターの種類") : QStringLiteral("センター名"));
    lstNumber->setVisible(!center);
    lstCenter->setVisible(center);
    cmbCenetr->setVisible(!center);
    cmbCenterKind->setVisible(center);
    lblMaxText->setVisible(center);
    txtMaxText->setVisible(center);
    for (int i = 0; i < 3; ++i) {
        lblTIME[i]->setVisible(center);
        txtTIME[i]->setVisible(center);
        lblSEC[i]->setVisible(center);
    }
}
