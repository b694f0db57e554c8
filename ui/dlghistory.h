#pragma once

#include <QDialog>
#include <functional>

struct AppData;

// The send history viewer; pastes an earlier message, or a part of it, at the end of the main window's message.
class dlgHistory : public QDialog
{
    Q_OBJECT
public:
    dlgHistory(const AppData &data, std::function<QString()> mailText, std::function<void(const QString &)> setMailText, QWidget *parent = nullptr);
    ~dlgHistory() override;
};
