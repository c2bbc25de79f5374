#pragma once

#include "consolecapture.h"
#include "portsession.h"
#include "serialport.h"
#include "sessionlog.h"
#include "tally.h"
#include "transaction.h"
#include "widgets.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <memory>

class QMessageBox;
class RepeatWindow;

// Twips (1440 to the inch) to this screen's logical pixels: 15 twips a pixel at 96 DPI.
int twips(int t, double logicalDpi);

class Form1 : public QWidget {
    Q_OBJECT
public:
    // The port of the session for each TEST.
    explicit Form1(PortSession *session, QWidget *parent = nullptr);
    // Always this one port.
    explicit Form1(SerialPort *port, QWidget *parent = nullptr);

    // Controls, by their designer names.
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8, *Label9,
        *Label10, *Label11, *Label12, *Label13, *Label16;
    LinkLabel *Label14, *Label15;
    SelectionBox *Combo1, *Combo2, *Combo3, *Combo4, *Combo5, *Combo6, *Combo7, *Combo8, *Combo9,
        *Combo10, *Combo11;
    QPushButton *cmdtest, *Command1, *cmdexit;
    QLineEdit *Text1;
    ByteWindow *trs, *rec;
    QTimer Timer1;
    PortSession *MSComm1; // the serial component: the port it holds, and its events

    // sendbuf, recbuf and progress, and every step of a TEST.
    const Transaction &transaction() const { return *transaction_; }

    // The whole traffic to a file, from now on; --log and the context menu.
    bool startLog(const QString &path);
    SessionLog &sessionLog() { return log_; }
    // A capture for Wireshark, from now on; --capture and the context menu.
    bool startCapture(const QString &path);
    ConsoleCapture &capture() { return *capture_; }

    Selection selection() const;
    // The caption of a box's label, as messages name the box.
    QString caption(Box box) const;
    QString lastMessage() const { return lastMessage_; }
    QMessageBox *messageBox() const { return message_; }
    // The one way a message reaches the user: non-blocking.
    void showMessage(const QString &text);

    // The tool window 连续测试 (F6, or the context menu of trs and rec).
    RepeatWindow *repeatWindow();
    // While held, a press of TEST (button, Enter, F5) is refused as while the
    // wait runs; cmdtest_Click() itself still tests.
    void setHeld(bool held) { held_ = held; }

    TestOutcome cmdtest_Click();
    void Command1_Click();
    void cmdexit_Click();
    void Label14_Click();
    void Label15_Click();
    void MSComm1_OnComm(int code);
    void Timer1_Timer();

signals:
    // A TEST's wait has ended: with a verdict, or timed out.
    void tested(const Exchange &e);

private:
    Form1(PortSession *session, std::unique_ptr<PortSession> own, QWidget *parent);
    void buildControls();
    void Form_Load();
    SelectionBox *box(Box b) const;
    void endTest(Verdict v, const CommResult &r);
    void buildRecord();
    void chooseLog();
    void chooseCapture();

    std::unique_ptr<PortSession> ownSession_;
    SessionLog log_;
    QAction *logAction_ = nullptr;
    std::unique_ptr<ConsoleCapture> capture_;
    QAction *captureAction_ = nullptr;

    TimerFlag wait_{Timer1};
    std::unique_ptr<Transaction> transaction_;
    QMessageBox *message_ = nullptr;
    QString lastMessage_;
    RepeatWindow *repeat_ = nullptr;
    bool held_ = false;
    bool testing_ = false; // a TEST's wait runs
    Exchange current_;
    QElapsedTimer sinceWrite_;
};
