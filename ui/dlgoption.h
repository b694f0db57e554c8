#pragma once

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabBar;
struct AppData;
struct Platform;
class SerialPort;
class Waiter;

// The options dialog. exec() returns Accepted when OK stored the settings; the caller then applies them to the main
// window. Controls carry their names as object names ("optDIAL_0", "optDialSpeed_1"... for the button arrays).
class dlgOption : public QDialog
{
    Q_OBJECT
public:
    dlgOption(AppData &data, Platform &platform, SerialPort &port, Waiter &waiter, QWidget *parent = nullptr);
    ~dlgOption() override;

    // The speaker volume slider's range.
    static constexpr int VolumeLow = 0;
    static constexpr int VolumeHigh = 3;

private slots:
    void tbsSETTING_Click();
    void optDIAL_Click();
    void chkHISTORY_Click();
    void chkOutside_Click();
    void cmbMODEM_Click();
    void cmbMODEM_Change();
    void cmdDetModem_Click();
    void askForModems();
    void OKButton_Click();
    void cmdHELP_Click();

private:
    void createNormalTab();
    void createOtherTab();
    QGroupBox *createToneGroup(QWidget *parent);
    QGroupBox *createSipGroup(QWidget *parent);
    void loadSipPassword();
    QString sipPasswordKey() const;
    void layOut();
    void connectControls();
    void Form_Load();
    bool fieldsInRange();
    bool fieldUsed(const QLineEdit *field) const;
    void storeSettings();

    AppData &m_data;
    Platform &m_platform;
    SerialPort &m_port;
    Waiter &m_waiter;

    QTabBar *tbsSETTING;
    QFrame *fraNORMAL;
    QFrame *fraOTHER;
    class KindBox *cmbMODEM;
    QLineEdit *txtCom;
    QPushButton *cmdDetModem;
    QRadioButton *optDIAL[2];
    QRadioButton *optDialSpeed[3]; // indices 1 and 2, as the speeds 10 and 20 divided by 10
    QSlider *sldVOLUME;
    QCheckBox *chkSpeakerOff;
    QCheckBox *chkOutside;
    QCheckBox *chkInhibitModemManager; // the serial kinds: ModemManager lets go of the port for each call
    QLabel *lblOutside;
    QLineEdit *txtOUTSIDE;
    // The settings of the newer device kinds' tones, shown only for them.
    QGroupBox *fraTONE;
    QLineEdit *txtToneLength;
    QLabel *lblToneGap;
    QLineEdit *txtToneGap;
    QLabel *lblKindNote;
    // The module ModemManager manages (kind 11): the ones it has, asked for when the
    // group first shows; one may be chosen or a port typed.
    QLabel *lblVoiceModem;
    QComboBox *cmbVoiceModem;
    QLabel *lblVoiceModems;
    bool m_modemsAsked = false;
    // The Internet telephone account (kind 10), shown only for it. The password goes to
    // the keyring, never to the settings.
    QGroupBox *fraSIP;
    QLineEdit *txtSipServer;
    QLineEdit *txtSipUser;
    QLineEdit *txtSipPassword;
    QComboBox *cmbSipTransport;
    QLineEdit *txtSipProxy;
    QLabel *lblSipTlsNote;    // shown while TLS is chosen: what it does not prove
    QString m_storedPassword; // as read from the keyring, under the stored account
    QLineEdit *txtSTRINGS;
    QLineEdit *txtINTERVAL;
    QCheckBox *chkAUTO;
    QCheckBox *chkIME;
    QCheckBox *chkHISTORY;
    QLabel *lblHISTORY;
    QLineEdit *txtHISTORY;
    QCheckBox *chkOkCheck;
    QLineEdit *txtExCommand;
    QCheckBox *chkReturnStart;
    QPushButton *OKButton;
    QPushButton *CancelButton;
    QPushButton *cmdHELP;
};
