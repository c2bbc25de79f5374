#pragma once

#include "records.h"
#include "tally.h"

#include <QElapsedTimer>
#include <QPointF>
#include <QTimer>
#include <QWidget>
#include <deque>

class Form1;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QSpinBox;
class QValueAxis;
class QXYSeries;

// 连续测试: TEST pressed again and again through the window's own
// cmdtest_Click(), with live counts, a latency plot and a CSV of the rows.
// The next TEST starts once the wait of the last has ended and the interval
// since its start has passed; stop ends the run after the TEST under way.
class RepeatWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kKeptRows = 1000; // rows an export can still write
    // Beyond these the older half is thinned. A failure mark is a scene item
    // of its own (about 1.8 kB), a latency point only a pair of numbers.
    static constexpr int kPlotPoints = 2000;
    static constexpr int kFailureMarks = 200;

    explicit RepeatWindow(Form1 &form);

    QSpinBox *interval, *count;
    QPushButton *startStop, *reset, *exportCsv;
    QLabel *counts;
    QChartView *plot;
    QLineSeries *latencies;
    QScatterSeries *failures;

    void start();
    void stop();
    bool running() const { return running_; }
    const Tally &tally() const { return tally_; }
    // The kept rows now, and every further row as it comes, until 清零.
    bool exportTo(const QString &path);
    // One TEST counted, plotted and kept.
    void record(const Exchange &e);

private:
    void next();
    void tested(const Exchange &e);
    void end();
    void clear();
    void showState();
    void plotPoint(QXYSeries *series, QPointF p, int most);

    Form1 &form_;
    Tally tally_;
    QValueAxis *x_, *y_;
    QTimer pace_;
    QElapsedTimer sinceStart_;
    bool running_ = false;
    bool stopping_ = false;
    bool own_ = false; // the TEST under way is this run's
    int thisRun_ = 0;  // TESTs started in this run
    double top_ = 0;   // the plot's highest point
    std::deque<QByteArray> rows_;
    CsvFile csv_;
};
