#pragma once

#include <QDialog>
#include <functional>

struct AppData;
struct Platform;

// The address book editor. Edits the centre and recipient lists in place; the caller rebuilds its selectors after it closes.
class dlgAdd : public QDialog
{
    Q_OBJECT
public:
    dlgAdd(AppData &data, Platform &platform, QWidget *parent = nullptr);
    ~dlgAdd() override;
};
