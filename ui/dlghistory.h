#pragma once

#include <QDialog>
#include <functional>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
struct AppData;

// The send history viewer; pastes an earlier message, or a part of it, at the end of the main window's message.
// Controls carry their names as object names.
class dlgHistory : public QDialog
{
    Q_OBJECT
public:
    dlgHistory(const AppData &data, std::function<QString()> mailText, std::function<void(const QString &)> setMailText,
               QWidget *parent = nullptr);
    ~dlgHistory() override;

private slots:
    void cmbHistory_Click();
    void cmdPaste_Click();

private:
    void Form_Load();

    const AppData &m_data;
    std::function<QString()> m_mailText;
    std::function<void(const QString &)> m_setMailText;

    QComboBox *cmbHistory;
    QLabel *lblDateTime;
    QLabel *lblNumberCenter;
    QPlainTextEdit *txtPREVIEW;
    QPushButton *cmdPaste;
    QPushButton *cmdClose;
};
