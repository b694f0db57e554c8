#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;
struct Platform;

// The About box: product name, version, notice and two link labels.
// Controls carry their names as object names.
class dlgAbout : public QDialog
{
    Q_OBJECT
public:
    dlgAbout(Platform &platform, QWidget *parent = nullptr);
    ~dlgAbout() override;

    // The notice: four lines joined by CR LF, each opening with an ideographic space.
    static QString notice();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void Form_Load();
    void setLinkColor(QLabel *label, const QColor &color);
    void openLink(QLabel *label);

    Platform &m_platform;
    QPushButton *cmdICON;
    QLabel *Label1;
    QLabel *lblVERSION;
    QLabel *lblData;
    QLabel *lblSupport;
    QLabel *lblHOMEPAGE;
    QLabel *lblMAIL;
    QPushButton *OKButton;
};
