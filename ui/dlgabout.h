#pragma once

#include <QDialog>
#include <functional>

struct Platform;

// The About box: product name, version, notice and two link labels.
class dlgAbout : public QDialog
{
    Q_OBJECT
public:
    dlgAbout(Platform &platform, QWidget *parent = nullptr);
    ~dlgAbout() override;
};
