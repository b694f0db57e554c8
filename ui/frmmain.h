#pragma once

#include "modem/line.h"
#include "modem/sendfrontend.h"
#include "modem/waiter.h"
#include "ui/platform.h"

#include <QList>
#include <QMainWindow>
#include <memory>

class ClickLabel;
class HelpLauncher;
class MailEdit;
class QAction;
class QComboBox;
class QMenu;
class QPushButton;
class QTimer;
class QMessageBox;
class LineLog;
class SendEngine;
class SerialPort;
struct AppData;
struct Platform;

// The program's one top-level window: the message box, the recipient and centre
// selectors, the buttons that drive a send, the menus and the five status panels.
// The controls keep the names the rest of the program and its tests know them by.
class frmMain : public QMainWindow, public SendFrontEnd, public ReportTarget
{
    Q_OBJECT
public:
    // The longest the program waits at its end for the line to end its call.
    static constexpr int GoodbyeMs = 2000;

    frmMain(AppData &data, Platform &platform, SerialPort &port, QWidget *parent = nullptr);
    ~frmMain() override;

    // Start-up: loads the files, then prepares the window (prepareWindow).
    void Form_Load();
    // The start-up steps after loading: selectors, first selection, help file, the
    // automatic-send mark, the input-method mode and Return as the send key.
    void prepareWindow();

    // Status panel 3: "自" while AutoTransmit is 1, empty otherwise.
    void ShowAutoTransmitMark();
    // Whether Return presses the send button (ReturnStart was 1 when last applied).
    bool returnStartsSend() const { return m_returnStartsSend; }

    // Handlers, named by control and event.
    void cmbNumber_Click(int index);
    void cmbCenter_Click();
    void txtMail_Change();
    void stbSTATUS_PanelDblClick(int panel);
    void lbl_MouseDown(const QPoint &globalPos);
    void lbl_DblClick();
    // The menus' items by name, each valued by its place in its menu (separators count).
    enum class FileItem { Exit = 0 };
    enum class StringItem {
        HiraganaToKatakana = 0,
        FullToHalfWidth = 1,
        LowerToUpper = 2,
        KatakanaToHiragana = 4,
        HalfToFullWidth = 5,
        UpperToLower = 6,
        Optimize = 8,
    };
    enum class OptionItem { Settings = 0, AddressBook = 1, History = 2 };
    enum class HelpItem { Contents = 0, Search = 1, About = 3 };
    void mnuFILE_Click(FileItem item);
    void mnuSTRING_Click(StringItem item);
    void mnuOPTION_Click(OptionItem item);
    void mnuHELP_Click(HelpItem item);
    void cmdOptimize_Click();
    void cmdExit_Click();

    // The one-second timer: counts in panel 2 while the line is open.
    void timTIME_Timer();

    // SendFrontEnd: what the send engine asks and tells.
    int selectedCenter() const override;
    int selectedRecipient() const override;
    QString mailText() const override;
    void stageStarted(SendStage stage) override;
    void nextStage(SendStage stage, bool afterSend) override;
    void stageFinished() override;
    void sendAgainAllowed(bool allowed) override;
    void waitingForNextStage() override;
    void progress(Progress mark, int remaining, int total) override;
    void lineStatus(LineStatus status) override;
    void callEnded() override;
    void sent() override;
    void refused(Refusal reason, const QString &detail) override;
    void failed(const AppError &error) override;
    void askToHoldPhone(std::function<void(bool playNumber)> answer) override;

    SendEngine &engine() { return *m_engine; }
    // Status panels 1 to 5.
    QString statusText(int panel) const;

    // ReportTarget: a port that failed to open gives the controls back.
    void restoreAfterPortFailure(const QString &panel1Text) override;

    // The controls.
    MailEdit *txtMail = nullptr;
    ClickLabel *lblNumber = nullptr;
    ClickLabel *lblCenter = nullptr;
    QComboBox *cmbNumber = nullptr;
    QComboBox *cmbCenter = nullptr;
    QPushButton *cmdButton = nullptr;
    QPushButton *cmdREPEAT = nullptr;
    QPushButton *cmdOptimize = nullptr;
    QPushButton *cmdCut = nullptr;
    QPushButton *cmdExit = nullptr;
    QList<ClickLabel *> stbSTATUS; // panels 1 to 5 at indexes 0 to 4
    QTimer *timTIME = nullptr;
    // The menus, addressed by index as their handlers receive it; separators hold places.
    QList<QAction *> mnuMENU;
    QList<QAction *> mnuFILE;
    QList<QAction *> mnuSTRING;
    QList<QAction *> mnuOPTION;
    QList<QAction *> mnuHELP;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void createMenus();
    template <typename Item>
    QList<QAction *> addMenu(const QString &title, const QStringList &items, void (frmMain::*handler)(Item));
    void createStatusBar();
    void connectControls();
    void fillSelectors();
    void selectFirst();
    void applyOptions();
    void updateSendEnabled();
    void showLengthState(bool tooLong);
    HelpLauncher &help();
    void setStatusText(int panel, const QString &text);
    void setSendEnabled(bool enabled);
    void setOptionMenusEnabled(bool enabled);

    AppData &m_data;
    Platform &m_platform;
    SerialPort &mscCOM;
    EventLoopWaiter m_waiter;
    std::unique_ptr<LineLog> m_lineLog;    // log/line.log of the data folder
    std::unique_ptr<KindLines> m_lines;    // made from the device kinds' rows
    QMessageBox *m_holdPhoneBox = nullptr; // the sound card's question at the call, while shown
    std::unique_ptr<SendEngine> m_engine;
    std::unique_ptr<HelpLauncher> m_ownHelp; // when the platform brings no help viewer
    QMenu *m_optionMenu = nullptr;
    bool m_returnStartsSend = false;
    bool m_exiting = false;           // the window has gone; the line is still ending its call
    bool m_sequenceAllowsSend = true; // the send engine's own enabling of cmdButton
    bool m_lengthAllowsSend = true;   // the message check's
};
