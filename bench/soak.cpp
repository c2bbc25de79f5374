// Soak: many TEST transactions through the real window and QSerialPort against
// kestrova-sim on a pseudo-terminal. Prints the count of each verdict, the
// time from TEST to verdict (median, 99th percentile, worst), and resident
// memory against the text the two windows hold.
//
//   soak [--count N] [--sim PATH] [--sim-arg ARG]...
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "display.h"
#include "form1.h"
#include "portmap.h"
#include "qtserialport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <map>
#include <vector>

namespace {

// Resident set size in kB, from /proc/self/status.
long rss_kb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// The text the window gained since position `from`, line breaks dropped (the
// window may break a long line where it wraps).
QString added_since(QPlainTextEdit *w, int from) {
    QTextCursor c(w->document());
    c.setPosition(from);
    c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    QString s = c.selectedText();
    s.remove(QChar(QChar::ParagraphSeparator));
    // The marks that steer wrapping (display.h) are no text.
    s.replace(kHardSpace, QLatin1Char(' '));
    s.remove(kBreakHere);
    s.remove(kNoBreak);
    return s;
}

QString verdict_of(const QString &added) {
    for (const char *v : {"OK SUM=", "ERR SUM=", "ACK", "NAK"})
        if (added.contains(QLatin1String(v))) return QString::fromLatin1(v);
    return QStringLiteral("time-out");
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    const std::size_t k =
        std::min(sorted.size() - 1, std::size_t(p * double(sorted.size() - 1) + 0.5));
    return sorted[k];
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("transactions"),
                                      QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption simOpt(QStringLiteral("sim"), QStringLiteral("kestrova-sim to run"),
                                    QStringLiteral("PATH"), QStringLiteral(KC_SIM_PATH));
    const QCommandLineOption simArgOpt(QStringLiteral("sim-arg"),
                                       QStringLiteral("option for the simulator (repeatable)"),
                                       QStringLiteral("ARG"));
    parser.addOptions({countOpt, simOpt, simArgOpt});
    parser.process(app);
    const int count = parser.value(countOpt).toInt();

    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice()); // its log would be 20,000 lines
    sim.start(parser.value(simOpt), parser.values(simArgOpt));
    if (!sim.waitForStarted(5000)) {
        std::fprintf(stderr, "soak: cannot start %s\n", qPrintable(parser.value(simOpt)));
        return 2;
    }
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (device.isEmpty()) {
        std::fprintf(stderr, "soak: the simulator named no device\n");
        return 2;
    }

    PortMap map;
    map.map(1, device);
    QtSerialPort port(map);
    Form1 w(&port);
    w.show();
    QCoreApplication::processEvents();

    ::malloc_trim(0); // freed memory back to the system, so VmRSS shows what is held
    const long rssStart = rss_kb();
    long rssWarm = rssStart;
    std::map<QString, int> verdicts;
    std::vector<double> ms;
    ms.reserve(std::size_t(count));
    QElapsedTimer total;
    total.start();

    for (int i = 0; i < count; ++i) {
        if (i == 100) rssWarm = rss_kb();
        w.rec->flush(); // the window inserts every 30 ms; read it whole
        const int from = w.rec->document()->characterCount() - 1;
        QElapsedTimer t;
        t.start();
        w.cmdtest->click();
        if (!w.Timer1.isActive()) {
            ++verdicts[QStringLiteral("not sent: ") +
                       w.lastMessage().section(QLatin1Char('\n'), 0, 0)];
            continue;
        }
        // The wait ends at a verdict or at the ruler's time-out; either stops Timer1.
        while (w.Timer1.isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
        w.rec->flush();
        ++verdicts[verdict_of(added_since(w.rec, from))];
        if ((i + 1) % 1000 == 0)
            std::fprintf(stderr, "soak: %d transactions, %.1f s, VmRSS %ld kB\n", i + 1,
                         double(total.elapsed()) / 1000, rss_kb());
    }
    // Let the last send event and any late byte arrive before measuring.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    w.trs->flush();
    w.rec->flush();
    ::malloc_trim(0);
    const long rssEnd = rss_kb();

    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    const qint64 trsChars = w.trs->document()->characterCount();
    const qint64 recChars = w.rec->document()->characterCount();
    const int trsLines = w.trs->document()->blockCount();
    const int recLines = w.rec->document()->blockCount();

    std::printf("soak: %d TEST transactions against %s in %.1f s\n", count,
                qPrintable(QFileInfo(parser.value(simOpt)).fileName()),
                double(total.elapsed()) / 1000);
    for (const auto &[verdict, n] : verdicts)
        std::printf("  %-10s %6d\n", qPrintable(verdict), n);
    std::printf("TEST to verdict: median %.2f ms, 99th percentile %.2f ms, worst %.2f ms\n",
                percentile(sorted, 0.5), percentile(sorted, 0.99),
                sorted.empty() ? 0.0 : sorted.back());
    std::printf("text held: trs %lld characters in %d lines, rec %lld characters in %d lines "
                "(%.1f MB as UTF-16)\n",
                qlonglong(trsChars), trsLines, qlonglong(recChars), recLines,
                double(trsChars + recChars) * 2 / 1e6);
    // What the two windows' text costs in memory (characters, blocks, layouts) is
    // what clearing them gives back; the rest of the growth is the console's own.
    w.trs->clearWindow();
    w.rec->clearWindow();
    QCoreApplication::processEvents();
    ::malloc_trim(0);
    const long rssCleared = rss_kb();
    std::printf("VmRSS: start %ld kB, after 100 %ld kB, end %ld kB (growth %.1f MB); "
                "the windows' text held %.1f MB\n",
                rssStart, rssWarm, rssEnd, double(rssEnd - rssStart) / 1024,
                double(rssEnd - rssCleared) / 1024);
    std::printf("growth beyond the windows' text: %.1f MB (goal: under 10 MB)\n",
                double(rssCleared - rssStart) / 1024);
    std::printf("messages: %s\n", w.lastMessage().isEmpty() ? "none" : qPrintable(w.lastMessage()));

    sim.terminate();
    if (!sim.waitForFinished(3000)) sim.kill();
    const bool allOk = verdicts.size() == 1 && verdicts.begin()->first == QLatin1String("OK SUM=");
    return allOk ? 0 : 1;
}
