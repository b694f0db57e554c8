#pragma once

#include <QLabel>

// A label that reports double clicks and right-button presses: the main window's two
// labels open the address book or the options menu, and status panel 3 toggles the
// automatic-send mark.
class ClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ClickLabel(const QString &text = QString(), QWidget *parent = nullptr);

signals:
    void doubleClicked();
    void rightPressed(const QPoint &globalPos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};
