// The median time from TEST to verdict, kestrova-probe against kestrova-sim,
// over the pseudo-terminal directly and over rfc2217:// and socket:// through
// ser2net on the loopback, in one run (goal: the network within 2 ms of the
// pseudo-terminal). Each route has a simulator of its own.
//
//   bench_network [--count N]
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

class Process {
public:
    Process(const QString &program, const QStringList &args) {
        proc_.setStandardErrorFile(QProcess::nullDevice());
        proc_.start(program, args);
        proc_.waitForStarted(5000);
    }
    ~Process() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
    }
    QString firstLine() {
        while (!proc_.canReadLine() && proc_.waitForReadyRead(5000)) {
        }
        return QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }

private:
    QProcess proc_;
};

quint16 free_port() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    return s.serverPort();
}

// The probe's median latency (ms) for `count` exchanges on `port`; negative if
// not every exchange was answered.
double median_ms(const QString &port, int count) {
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(QStringLiteral(KC_PROBE_PATH),
            {port, QStringLiteral("--count"), QString::number(count), QStringLiteral("--json")});
    p.waitForFinished(-1);
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject st = QJsonDocument::fromJson(lines.last()).object();
    const QJsonObject s = st.value(QStringLiteral("statistics")).toObject();
    if (p.exitCode() != 0 || s.value(QStringLiteral("sent")).toInt() != count) return -1;
    return s.value(QStringLiteral("latency_ms"))
        .toObject()
        .value(QStringLiteral("median"))
        .toDouble(-1);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("exchanges"),
                                         QStringLiteral("N"), QStringLiteral("200"));
    parser.addOption(countOption);
    parser.process(app);
    const int count = parser.value(countOption).toInt();

    Process direct(QStringLiteral(KC_SIM_PATH), {});
    Process served(QStringLiteral(KC_SIM_PATH), {});
    const QString directPty = direct.firstLine();
    const QString servedPty = served.firstLine();
    const quint16 telnetPort = free_port(), rawPort = free_port();
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
    config.open(QIODevice::WriteOnly);
    for (const auto &[accepter, port] :
         {std::pair{"telnet(rfc2217),tcp", telnetPort}, std::pair{"tcp", rawPort}})
        config.write(QStringLiteral("connection: &c%1\n  accepter: %2,127.0.0.1,%1\n"
                                    "  connector: serialdev(nouucplock),%3,9600n82,local\n")
                         .arg(port)
                         .arg(QLatin1String(accepter), servedPty)
                         .toUtf8());
    config.close();
    Process ser2net(QStringLiteral("/usr/sbin/ser2net"),
                    {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName(),
                     QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    for (int i = 0; i < 100; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, rawPort);
        if (s.waitForConnected(200)) break;
        QThread::msleep(50);
    }

    std::printf("median TEST-to-verdict over %d exchanges (kestrova-sim, 9600,n,8,2)\n", count);
    const double pty = median_ms(directPty, count);
    const double rfc = median_ms(QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnetPort), count);
    const double raw = median_ms(QStringLiteral("socket://127.0.0.1:%1").arg(rawPort), count);
    std::printf("  pseudo-terminal      %8.2f ms\n", pty);
    std::printf("  rfc2217:// loopback  %8.2f ms  (%+.2f ms)\n", rfc, rfc - pty);
    std::printf("  socket:// loopback   %8.2f ms  (%+.2f ms)\n", raw, raw - pty);
    const bool ok = pty > 0 && rfc > 0 && rfc - pty <= 2.0;
    std::printf("goal: rfc2217:// within 2 ms of the pseudo-terminal: %s\n",
                ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
