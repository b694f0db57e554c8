#include "app/platformservices.h"

#include "app/clipboardhandover.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QMessageBox>
#include <cstdio>
#include <unistd.h>

MessageBoxes::Answer QtMessageBoxes::show(QWidget *parent, const QString &text, Icon icon, Buttons buttons,
                                          const QString &title)
{
    QMessageBox box(parent);
    box.setWindowTitle(title.isEmpty() ? QStringLiteral("Fumidori") : title);
    box.setText(text);
    switch (icon) {
    case NoIcon:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case Question:
        box.setIcon(QMessageBox::Question);
        break;
    }
    switch (buttons) {
    case Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return AnswerYes;
    case QMessageBox::No:
        return AnswerNo;
    case QMessageBox::Cancel:
        return AnswerCancel;
    default:
        return buttons == YesNo ? AnswerNo : (buttons == OkCancel ? AnswerCancel : AnswerOk);
    }
}

void QtMessageBoxes::beep()
{
    QApplication::beep();
}

void QtClipboard::setText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

void QtClipboard::clear()
{
    QGuiApplication::clipboard()->clear();
}

QString QtClipboard::text() const
{
    return QGuiApplication::clipboard()->text();
}

void DesktopUrlOpener::open(const QUrl &url)
{
    QDesktopServices::openUrl(url);
}

void ImmediateExit::endProcess(int exitCode)
{
    // What this program put on the clipboard (an error report) stays there after it ends.
    constexpr int HandOverMs = 2000;
    handClipboardOver(HandOverMs);
    std::fflush(nullptr);
    ::_exit(exitCode);
}
