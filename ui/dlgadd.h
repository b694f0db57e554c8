#pragma once

#include <QDialog>
#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
struct AppData;
struct MessageCenter;
struct Platform;

// The address book editor. Edits the centre and recipient lists in place; the caller rebuilds its selectors after it
// closes. Controls carry their names as object names, so tests find them with findChild().
class dlgAdd : public QDialog
{
    Q_OBJECT
public:
    dlgAdd(AppData &data, Platform &platform, QWidget *parent = nullptr);
    ~dlgAdd() override;

    bool centerMode() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void optPoint_Click();
    void optCenter_Click();
    void lstNumber_Click();
    void lstCenter_Click();
    void cmbCenterKind_Click();
    void cmdAdd_Click();
    void cmdOverWrite_Click();
    void cmdDEL_Click();
    void cmdUP_Click();
    void cmdDOWN_Click();
    void cmdHELP_Click();

private:
    void createControls();
    void layOut();
    void connectControls();
    void Form_Load();
    void showMode(bool center);
    void CheckEntryFields();
    void ClearEntryFields();
    bool fieldsStorable();
    bool readCenterFields(MessageCenter &center);
    void storeRecipient(int position);
    void storeCenter(int position, const MessageCenter &center);
    void moveSelected(int step);
    bool confirm(const QString &question);
    void warn(const QString &text);
    QListWidget *currentList() const;
    static int selectedRow(const QListWidget *list);

    AppData &m_data;
    Platform &m_platform;

    QRadioButton *optPoint;
    QRadioButton *optCenter;
    QGroupBox *fraPoint;
    QListWidget *lstNumber;
    QListWidget *lstCenter;
    QLabel *lblAddName;
    QLineEdit *txtAddName;
    QLabel *lblAddNumber;
    QLineEdit *txtAddNumber;
    QLabel *lblLinkCenetr;
    QComboBox *cmbCenetr;
    QComboBox *cmbCenterKind;
    QLabel *lblMaxText;
    QLineEdit *txtMaxText;
    QLabel *lblTIME[3];
    QLineEdit *txtTIME[3];
    QLabel *lblSEC[3];
    QPushButton *cmdAdd;
    QPushButton *cmdOverWrite;
    QPushButton *cmdDEL;
    QPushButton *cmdUP;
    QPushButton *cmdDOWN;
    QPushButton *OKButton;
    QPushButton *cmdHELP;
};
