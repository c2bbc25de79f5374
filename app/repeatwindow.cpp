#include "repeatwindow.h"

#include "form1.h"
#include "messages.h"
#include "widgets.h"

#include <QChartView>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QSpinBox>
#include <QValueAxis>
#include <cmath>

namespace {

QString ms(double v) {
    return QString::number(v, 'f', 2);
}

// 1, 2 or 5 times a power of ten, the first at least `raw`.
qreal round_step(qreal raw) {
    const qreal ten = std::pow(10.0, std::floor(std::log10(raw)));
    for (const qreal m : {1.0, 2.0, 5.0})
        if (m * ten >= raw) return m * ten;
    return 10 * ten;
}

} // namespace

RepeatWindow::RepeatWindow(Form1 &form) : QWidget(&form, Qt::Window), form_(form) {
    setObjectName(QStringLiteral("RepeatWindow"));
    setWindowTitle(QStringLiteral("连续测试"));
    interval = new QSpinBox(this);
    interval->setObjectName(QStringLiteral("interval"));
    // The next TEST cannot start before the last one's wait has ended.
    interval->setRange(Transaction::kTimeoutMs, 86400000);
    interval->setValue(500);
    interval->setSuffix(QStringLiteral(" ms"));
    count = new QSpinBox(this);
    count->setObjectName(QStringLiteral("count"));
    count->setRange(0, 1000000000);
    count->setSpecialValueText(QStringLiteral("直到停止"));
    count->setValue(100);
    startStop = new QPushButton(this);
    startStop->setObjectName(QStringLiteral("startStop"));
    reset = new QPushButton(QStringLiteral("清零"), this);
    reset->setObjectName(QStringLiteral("reset"));
    exportCsv = new QPushButton(QStringLiteral("导出 CSV…"), this);
    exportCsv->setObjectName(QStringLiteral("exportCsv"));
    counts = new QLabel(this);
    counts->setObjectName(QStringLiteral("counts"));
    counts->setTextFormat(Qt::PlainText);
    counts->setTextInteractionFlags(Qt::TextSelectableByMouse);

    latencies = new QLineSeries(this);
    latencies->setName(QStringLiteral("延迟（ms）"));
    failures = new QScatterSeries(this);
    failures->setName(QStringLiteral("失败（超时画在等待时间处）"));
    failures->setColor(Qt::red);
    failures->setMarkerSize(7);
    auto *chart = new QChart;
    chart->addSeries(latencies);
    chart->addSeries(failures);
    x_ = new QValueAxis(chart);
    x_->setLabelFormat(QStringLiteral("%d"));
    x_->setTickType(QValueAxis::TicksDynamic);
    x_->setTickAnchor(0);
    x_->setTitleText(QStringLiteral("第几次 TEST"));
    y_ = new QValueAxis(chart);
    y_->setLabelFormat(QStringLiteral("%.0f"));
    y_->setTitleText(QStringLiteral("ms"));
    chart->addAxis(x_, Qt::AlignBottom);
    chart->addAxis(y_, Qt::AlignLeft);
    for (QXYSeries *s : {static_cast<QXYSeries *>(latencies), static_cast<QXYSeries *>(failures)}) {
        s->attachAxis(x_);
        s->attachAxis(y_);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    plot = new QChartView(chart, this);
    plot->setObjectName(QStringLiteral("plot"));
    plot->setRenderHint(QPainter::Antialiasing);

    auto *grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("间隔："), this), 0, 0);
    grid->addWidget(interval, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("次数："), this), 0, 2);
    grid->addWidget(count, 0, 3);
    grid->addWidget(startStop, 0, 4);
    grid->addWidget(reset, 0, 5);
    grid->addWidget(exportCsv, 0, 6);
    grid->addWidget(counts, 1, 0, 1, 7);
    grid->addWidget(plot, 2, 0, 1, 7);
    grid->setRowStretch(2, 1);
    resize(720, 560);

    pace_.setSingleShot(true);
    pace_.setTimerType(Qt::PreciseTimer);
    connect(&pace_, &QTimer::timeout, this, &RepeatWindow::next);
    connect(startStop, &QPushButton::clicked, this, [this] { running_ ? stop() : start(); });
    connect(reset, &QPushButton::clicked, this, &RepeatWindow::clear);
    connect(exportCsv, &QPushButton::clicked, this, [this] {
        save_dialog(this, QStringLiteral("导出 CSV"),
                    QStringLiteral("CSV 文件 (*.csv);;所有文件 (*)"), QStringLiteral("csv"),
                    [this](const QString &path) { exportTo(path); })
            ->open();
    });
    connect(&form_, &Form1::tested, this, &RepeatWindow::tested);
    // A port that breaks down ends the run; the window has said why.
    connect(form_.MSComm1, &PortSession::failed, this, [this] {
        if (running_) stop();
    });
    clear();
}

void RepeatWindow::start() {
    if (running_) return;
    running_ = true;
    stopping_ = false;
    thisRun_ = 0;
    form_.setHeld(true);
    showState();
    next();
}

void RepeatWindow::stop() {
    if (!running_) return;
    stopping_ = true;
    if (own_)
        showState(); // ends once the TEST under way has
    else
        end();
}

void RepeatWindow::next() {
    if (!running_) return;
    if (stopping_ || (count->value() > 0 && thisRun_ >= count->value())) return end();
    const TestOutcome r = form_.cmdtest_Click();
    switch (r.status) {
    case TestOutcome::Sent:
        own_ = true;
        ++thisRun_;
        sinceStart_.start();
        return;
    case TestOutcome::Busy:
        return; // a TEST pressed before the start: its end brings the next
    case TestOutcome::Refused:
    case TestOutcome::PortFailed:
        return end(); // the window has said why
    }
}

void RepeatWindow::tested(const Exchange &e) {
    const bool own = own_;
    own_ = false;
    if (own) record(e);
    if (!running_) return;
    if (stopping_) return end();
    // From the event loop, never from inside the port's notification.
    pace_.start(own ? std::max<qint64>(0, interval->value() - sinceStart_.elapsed()) : 0);
}

void RepeatWindow::end() {
    pace_.stop();
    running_ = false;
    stopping_ = false;
    form_.setHeld(false);
    showState();
}

void RepeatWindow::record(const Exchange &e) {
    tally_.add(e);
    const QByteArray row = csv_row(e);
    rows_.push_back(row);
    if (rows_.size() > size_t(kKeptRows)) rows_.pop_front();
    if (csv_.isOpen() && !csv_.write(row))
        form_.showMessage(save_failed_message(csv_.path(), csv_.errorString()));
    const qreal n = tally_.sent();
    if (e.latencyMs) plotPoint(latencies, {n, *e.latencyMs}, kPlotPoints);
    if (e.verdict != Verdict::Ok && e.verdict != Verdict::Ack)
        plotPoint(failures, {n, e.latencyMs.value_or(double(Transaction::kTimeoutMs))},
                  kFailureMarks);
    showState();
}

// Thinned from the old end, pairs into their higher point: a peak stays
// visible however long the run, and the series stays bounded.
void RepeatWindow::plotPoint(QXYSeries *series, QPointF p, int most) {
    series->append(p);
    top_ = std::max(top_, p.y());
    if (series->count() > most) {
        const QList<QPointF> all = series->points();
        QList<QPointF> kept;
        const qsizetype half = all.size() / 2;
        for (qsizetype i = 0; i + 1 < half; i += 2)
            kept << (all[i].y() >= all[i + 1].y() ? all[i] : all[i + 1]);
        kept << all.mid(half & ~qsizetype(1));
        series->replace(kept);
    }
    // From the run's start: a thinned first point stands for the TESTs before it.
    // The run fills the width; the ticks fall on round numbers.
    const qreal end = std::max<qreal>(p.x(), 10);
    x_->setRange(0, end);
    x_->setTickInterval(round_step(end / 5));
    y_->setRange(0, top_ * 1.1);
    y_->applyNiceNumbers();
}

bool RepeatWindow::exportTo(const QString &path) {
    bool ok = csv_.open(path);
    for (auto it = rows_.begin(); ok && it != rows_.end(); ++it)
        ok = csv_.write(*it);
    if (!ok) form_.showMessage(save_failed_message(path, csv_.errorString()));
    showState();
    return ok;
}

void RepeatWindow::clear() {
    tally_.clear();
    rows_.clear();
    csv_.close();
    latencies->clear();
    failures->clear();
    top_ = Transaction::kTimeoutMs;
    x_->setRange(0, 10);
    x_->setTickInterval(2);
    y_->setRange(0, top_ * 1.1);
    y_->applyNiceNumbers();
    showState();
}

void RepeatWindow::showState() {
    startStop->setText(stopping_  ? QStringLiteral("停止中…")
                       : running_ ? QStringLiteral("停止")
                                  : QStringLiteral("开始"));
    startStop->setEnabled(!stopping_);
    const Tally &t = tally_;
    QString s = QStringLiteral("发送 %1    OK %2    ERR %3    ACK %4    NAK %5    超时 %6    "
                               "错位或格式不符 %7    丢失 %8%\n")
                    .arg(t.sent())
                    .arg(t.count(Verdict::Ok))
                    .arg(t.count(Verdict::Err))
                    .arg(t.count(Verdict::Ack))
                    .arg(t.count(Verdict::Nak))
                    .arg(t.count(Verdict::Timeout))
                    .arg(t.count(Verdict::Stray) + t.count(Verdict::Malformed))
                    .arg(QString::number(t.lossPercent(), 'f', 1));
    if (const auto l = t.latency())
        s += QStringLiteral("延迟（ms，写出到判定）：最小 %1    中位 %2    p99 %3    最大 %4\n")
                 .arg(ms(l->min), ms(l->median), ms(l->p99), ms(l->max));
    else
        s += QStringLiteral("延迟：无应答\n");
    s += QStringLiteral("最长连续失败 %1 次    最后失败 %2")
             .arg(t.longestFailureRun())
             .arg(t.lastFailure().isValid()
                      ? t.lastFailure().toString(QStringLiteral("HH:mm:ss.zzz"))
                      : QStringLiteral("无"));
    if (csv_.isOpen()) s += QStringLiteral("\nCSV：写入 %1").arg(csv_.path());
    counts->setText(s);
}
