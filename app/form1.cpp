#include "form1.h"

#include "atcommand.h"
#include "contact.h"
#include "messages.h"
#include "repeatwindow.h"
#include "ruler.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <algorithm>
#include <array>

Q_LOGGING_CATEGORY(lcWindow, "kestrova.window")

int twips(int t, double logicalDpi) {
    return qRound(t * logicalDpi / 1440.0);
}

// ---- Form1 ----------------------------------------------------------------

Form1::Form1(PortSession *session, QWidget *parent) : Form1(session, nullptr, parent) {}

Form1::Form1(SerialPort *port, QWidget *parent)
    : Form1(nullptr, std::make_unique<PortSession>(*port), parent) {}

Form1::Form1(PortSession *session, std::unique_ptr<PortSession> own, QWidget *parent)
    : QWidget(parent), ownSession_(std::move(own)) {
    setObjectName(QStringLiteral("Form1"));
    MSComm1 = ownSession_ ? ownSession_.get() : session;
    buildControls();
    transaction_ = std::make_unique<Transaction>(*MSComm1, wait_, *trs, *rec);
    Form_Load();
    buildRecord();

    connect(cmdtest, &QPushButton::clicked, this, [this] {
        if (!held_) cmdtest_Click();
    });
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(cmdexit, &QPushButton::clicked, this, &Form1::cmdexit_Click);
    connect(Label14, &LinkLabel::clicked, this, &Form1::Label14_Click);
    connect(Label15, &LinkLabel::clicked, this, &Form1::Label15_Click);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(MSComm1, &PortSession::comm, this, &Form1::MSComm1_OnComm);
    connect(MSComm1, &PortSession::failed, this, [this](const PortError &e) {
        // Settings a network server did not take are refused as at an opening.
        showMessage(e.kind == PortError::SettingsNotHeld
                        ? port_message(e)
                        : broken_message(e) + QStringLiteral("设备恢复后按 TEST 重新打开。"));
    });
    connect(MSComm1, &PortSession::lineFault, this,
            [this](const PortError &e) { showMessage(port_message(e)); });
}

void Form1::buildControls() {
    setWindowTitle(QStringLiteral("《Kestrova通讯测试程序V2.0》    2004.01.01"));
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    auto place = [dpi](QWidget *w, const char *name, int left, int top, int width, int height) {
        w->setObjectName(QLatin1String(name));
        w->setGeometry(twips(left, dpi), twips(top, dpi), twips(width, dpi), twips(height, dpi));
    };
    setFixedSize(twips(8925, dpi), twips(7245, dpi));

    auto label = [&](const char *name, const QString &caption, int l, int t, int w, int h) {
        auto *lab = new QLabel(caption, this);
        lab->setTextFormat(Qt::PlainText);
        place(lab, name, l, t, w, h);
        return lab;
    };
    auto combo = [&](const char *name, const QString &text, int l, int t, int w, int h) {
        auto *box = new SelectionBox(this);
        box->setEditText(text);
        place(box, name, l, t, w, h);
        return box;
    };
    auto selectionCombo = [&](const char *name, Box b, int l, int t, int w, int h) {
        return combo(name, box_texts(b).initial, l, t, w, h);
    };
    auto button = [&](const char *name, const QString &caption, int l, int t, int w, int h) {
        auto *b = new QPushButton(caption, this);
        b->setAutoDefault(true); // Enter presses the focused button, as Space does
        place(b, name, l, t, w, h);
        return b;
    };

    Label1 = label("Label1", QStringLiteral("通 讯 口："), 240, 240, 1095, 255);
    Combo1 = new PortBox(this);
    Combo1->setEditText(box_texts(Box::Port).initial);
    place(Combo1, "Combo1", 1200, 240, 1455, 300);
    Label5 = label("Label5", QStringLiteral("功能选择："), 3240, 240, 975, 255);
    Combo5 = selectionCombo("Combo5", Box::Function, 4200, 240, 1455, 300);
    Label9 = label("Label9", QStringLiteral("参 数 号："), 6240, 240, 1095, 255);
    Combo8 = selectionCombo("Combo8", Box::Parameter, 7200, 240, 1455, 300);
    Label2 = label("Label2", QStringLiteral("波 特 率："), 240, 720, 1095, 255);
    Combo2 = selectionCombo("Combo2", Box::Settings, 1200, 720, 1455, 300);
    Label6 = label("Label6", QStringLiteral("LNK 地址："), 3240, 720, 975, 255);
    Combo10 = selectionCombo("Combo10", Box::Concentrator, 4200, 720, 1455, 300);
    Label10 = label("Label10", QStringLiteral("参 数 值："), 6240, 720, 1215, 255);
    Combo9 = selectionCombo("Combo9", Box::Value, 7200, 720, 1455, 300);
    Label3 = label("Label3", QStringLiteral("发送信号："), 240, 1200, 1095, 255);
    Combo3 = selectionCombo("Combo3", Box::Signal, 1200, 1200, 1455, 300);
    Label7 = label("Label7", QStringLiteral("仪表地址："), 3240, 1200, 1215, 255);
    Combo6 = selectionCombo("Combo6", Box::Address, 4200, 1200, 1455, 300);
    Command1 = button("Command1", QStringLiteral("发送AT命令"), 7200, 1200, 1455, 495);
    Label4 = label("Label4", QStringLiteral("仪表型号："), 240, 1680, 975, 255);
    Combo4 = selectionCombo("Combo4", Box::Model, 1200, 1680, 1455, 300);
    Label8 = label("Label8", QStringLiteral("仪表通道："), 3240, 1680, 1335, 255);
    Combo7 = selectionCombo("Combo7", Box::Channel, 4200, 1680, 1455, 300);
    cmdtest = button("cmdtest", QStringLiteral("测试（TEST）"), 7200, 1800, 1455, 495);
    Label16 = label("Label16", QStringLiteral("AT命令行："), 240, 2160, 1095, 255);
    Combo11 = combo("Combo11", QLatin1String(contact::dialCommand), 1200, 2160, 4455, 300);
    cmdexit = button("cmdexit", QStringLiteral("退出（EXIT）"), 7200, 2400, 1455, 495);
    Label13 = label("Label13", QStringLiteral("进程标尺："), 240, 2640, 1095, 255);
    Text1 = new QLineEdit(this);
    place(Text1, "Text1", 1200, 2640, 4455, 270);
    Label15 = new LinkLabel(this);
    Label15->setText(QLatin1String(contact::mail));
    place(Label15, "Label15", 7200, 3000, 1455, 255);
    Label11 = label("Label11", QStringLiteral("发送窗口："), 240, 3240, 1455, 255);
    Label12 = label("Label12", QStringLiteral("接收窗口："), 3240, 3240, 1575, 255);
    Label14 = new LinkLabel(this);
    Label14->setText(QLatin1String(contact::web));
    place(Label14, "Label14", 7200, 3240, 1455, 255);
    trs = new ByteWindow(this);
    place(trs, "trs", 120, 3480, 2895, 3495);
    rec = new ByteWindow(this);
    place(rec, "rec", 3240, 3480, 5415, 3495);
    for (LinkLabel *l : {Label14, Label15}) {
        l->setTextFormat(Qt::PlainText);
        l->setToolTip(l->text());
        // The address must be readable whole in its narrow cell: shrink the font
        // until it fits, but not below legibility.
        QFont f = l->font();
        while (f.pointSizeF() > 5.5 && QFontMetrics(f).horizontalAdvance(l->text()) > l->width())
            f.setPointSizeF(f.pointSizeF() - 0.25);
        l->setFont(f);
    }

    auto colour = [](QWidget *w, QPalette::ColorRole bgRole, const QColor *bg,
                     QPalette::ColorRole fgRole, const QColor &fg) {
        QPalette p = w->palette();
        if (bg) {
            p.setColor(bgRole, *bg);
            w->setAutoFillBackground(true);
        }
        p.setColor(fgRole, fg);
        w->setPalette(p);
    };
    const QColor grey(192, 192, 192);
    colour(Text1, QPalette::Base, &grey, QPalette::Text, QColor(128, 128, 255));
    colour(Label14, QPalette::Window, &grey, QPalette::WindowText, QColor(0, 0, 255));
    colour(Label15, QPalette::Window, nullptr, QPalette::WindowText, QColor(0, 0, 255));

    // Tab order: cmdtest, Combo1..Combo10, cmdexit, Text1, Combo11, Command1, trs, rec.
    const QList<QWidget *> order{cmdtest, Combo1,  Combo2,   Combo3, Combo4,  Combo5,
                                 Combo6,  Combo7,  Combo8,   Combo9, Combo10, cmdexit,
                                 Text1,   Combo11, Command1, trs,    rec};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(ruler::kTickMs);
    Timer1.setTimerType(Qt::PreciseTimer);
}

namespace {

// A context-menu entry that starts a record (through `choose`) or stops it,
// named for what it would do; the record's write errors are said once.
template <class Record, class Choose>
QAction *record_action(Form1 *form, Record *record, const QString &start, const QString &stop,
                       Choose choose, QString (*failed)(const QString &, const QString &)) {
    auto *action = new QAction(form);
    QObject::connect(action, &QAction::triggered, form, [record, choose] {
        if (record->isOpen())
            record->stop();
        else
            choose();
    });
    auto show = [action, record, start, stop] { action->setText(record->isOpen() ? stop : start); };
    show();
    QObject::connect(record, &Record::stateChanged, action, show);
    QObject::connect(record, &Record::failed, form,
                     [form, failed](const QString &path, const QString &reason) {
                         form->showMessage(failed(path, reason));
                     });
    return action;
}

} // namespace

// The record around the two windows: what the port does reaches the session
// log, received batches are marked as data in rec, and F5 presses TEST.
void Form1::buildRecord() {
    connect(MSComm1, &PortSession::sent, &log_, &SessionLog::sent);
    connect(MSComm1, &PortSession::received, &log_, &SessionLog::received);
    connect(MSComm1, &PortSession::received, rec, &ByteWindow::nextIsData);
    trs->setAllData(true); // the send window holds only what was sent
    Text1->setReadOnly(true);

    logAction_ = record_action(
        this, &log_, QStringLiteral("开始会话日志…"), QStringLiteral("停止会话日志"),
        [this] { chooseLog(); }, log_failed_message);
    capture_ = std::make_unique<ConsoleCapture>(*MSComm1, Transaction::kTimeoutMs);
    connect(this, &Form1::tested, capture_.get(), &ConsoleCapture::ended);
    captureAction_ = record_action(
        this, capture_.get(), QStringLiteral("开始抓包（Wireshark）…"), QStringLiteral("停止抓包"),
        [this] { chooseCapture(); }, capture_failed_message);
    auto *repeatAction = new QAction(QStringLiteral("连续测试…"), this);
    connect(repeatAction, &QAction::triggered, this, [this] {
        RepeatWindow *r = repeatWindow();
        r->show();
        r->raise();
        r->activateWindow();
    });
    auto *f6 = new QShortcut(QKeySequence(Qt::Key_F6), this);
    f6->setContext(Qt::WindowShortcut);
    connect(f6, &QShortcut::activated, repeatAction, &QAction::trigger);
    for (ByteWindow *w : {trs, rec}) {
        w->setMenuExtras({logAction_, captureAction_, repeatAction});
        connect(w, &ByteWindow::problem, this, &Form1::showMessage);
    }

    auto *f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    f5->setContext(Qt::WindowShortcut);
    connect(f5, &QShortcut::activated, cmdtest, &QPushButton::click);
}

void Form1::chooseLog() {
    QFileDialog *dialog =
        save_dialog(this, QStringLiteral("会话日志文件"),
                    QStringLiteral("日志文件 (*.log *.txt);;所有文件 (*)"), QStringLiteral("log"),
                    [this](const QString &path) { startLog(path); });
    dialog->setOption(QFileDialog::DontConfirmOverwrite); // the log is appended to
    dialog->open();
}

bool Form1::startLog(const QString &path) {
    return log_.start(path);
}

void Form1::chooseCapture() {
    save_dialog(this, QStringLiteral("抓包文件"),
                QStringLiteral("抓包文件 (*.pcap *.pcapng);;所有文件 (*)"), QStringLiteral("pcap"),
                [this](const QString &path) { startCapture(path); })
        ->open();
}

bool Form1::startCapture(const QString &path) {
    return capture_->start(path);
}

void Form1::Form_Load() {
    // The control characters are compile-time constants (controls.h); progress
    // starts at 0 with the transaction, and Timer1 is stopped as it was built.
    for (int b = 0; b < kBoxCount; ++b)
        box(Box(b))->appendRows(box_texts(Box(b)).rows);
    Combo11->appendRows({QLatin1String(contact::dialCommand), "+++ATH0", "+++AT&F", "+++AT&D0",
                         "+++AT&C0", "+++AT&K0", "+++AT&Z0", "+++ATS0=2", "+++AT&V", "+++AT&W0"});
}

SelectionBox *Form1::box(Box b) const {
    const std::array<SelectionBox *, kBoxCount> boxes{Combo1, Combo2, Combo3, Combo4, Combo5,
                                                      Combo6, Combo7, Combo8, Combo9, Combo10};
    return boxes[size_t(b)];
}

QString Form1::caption(Box b) const {
    const std::array<QLabel *, kBoxCount> labels{Label1, Label2, Label3, Label4,  Label5,
                                                 Label7, Label8, Label9, Label10, Label6};
    QString text = labels[size_t(b)]->text();
    if (text.endsWith(QChar(0xFF1A))) text.chop(1); // the full-width colon
    return text;
}

Selection Form1::selection() const {
    return {.port = Combo1->currentText(),
            .settings = Combo2->currentText(),
            .signal = Combo3->currentText(),
            .model = Combo4->currentText(),
            .function = Combo5->currentText(),
            .address = Combo6->currentText(),
            .channel = Combo7->currentText(),
            .parameter = Combo8->currentText(),
            .value = Combo9->currentText(),
            .concentrator = Combo10->currentText()};
}

void Form1::showMessage(const QString &text) {
    lastMessage_ = text;
    qCWarning(lcWindow).noquote() << text;
    // Non-blocking: the handler returns at once, the window stays usable.
    if (!message_) {
        message_ =
            new QMessageBox(QMessageBox::Warning, windowTitle(), QString(), QMessageBox::Ok, this);
        message_->setWindowModality(Qt::NonModal);
        message_->setTextFormat(Qt::PlainText);
        message_->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    }
    message_->setText(text);
    message_->show();
    message_->raise();
}

RepeatWindow *Form1::repeatWindow() {
    if (!repeat_) repeat_ = new RepeatWindow(*this);
    return repeat_;
}

TestOutcome Form1::cmdtest_Click() {
    const Selection sel = selection();
    const QDateTime pressed = QDateTime::currentDateTime();
    const TestOutcome r = transaction_->test(sel);
    if (r.status == TestOutcome::Sent) {
        sinceWrite_.start();
        testing_ = true;
        current_ = Exchange{};
        current_.time = pressed;
        current_.sel = sel;
        current_.request = transaction_->request();
    } else if (r.status == TestOutcome::Refused)
        showMessage(refusal_message(r.refusal,
                                    QStringLiteral("“%1”框中的文本").arg(caption(r.refusal.box))));
    else if (r.status == TestOutcome::PortFailed)
        showMessage(port_message(r.portError));
    return r;
}

void Form1::MSComm1_OnComm(int code) {
    const CommResult r = transaction_->comm(code, Combo4->currentText());
    if (r.endedWait) endTest(verdict_of(r.kind), r);
}

void Form1::Timer1_Timer() {
    if (const auto ruler = transaction_->tick())
        Text1->setText(*ruler);
    else
        endTest(Verdict::Timeout, {});
}

void Form1::endTest(Verdict v, const CommResult &r) {
    if (!testing_) return;
    testing_ = false;
    current_.verdict = v;
    current_.sum = r.sum;
    current_.value = r.value;
    current_.reply = transaction_->recbuf().text();
    if (v != Verdict::Timeout) current_.latencyMs = sinceWrite_.nsecsElapsed() / 1e6;
    emit tested(current_);
}

void Form1::Command1_Click() {
    const QString command = Combo11->currentText();
    const AtOutcome r =
        send_at_command(MSComm1->port(), command, Combo2->currentText(), Combo3->currentText(),
                        [this](const QByteArray &line) { trs->insert(line); });
    if (r.status == AtOutcome::NotAscii)
        showMessage(at_not_ascii_message(command));
    else if (r.status == AtOutcome::PortFailed)
        showMessage(port_message(r.portError));
}

void Form1::cmdexit_Click() {
    // Nothing more is handled: no tick, no serial event, no redraw.
    Timer1.stop();
    MSComm1->disconnect(this);
    QCoreApplication::exit(0);
}

void Form1::Label14_Click() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(contact::web)));
}

void Form1::Label15_Click() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QLatin1String(contact::mail)));
}
