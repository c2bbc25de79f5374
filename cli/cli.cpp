#include "cli.h"

#include "messages.h"
#include "porttext.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace cli {

namespace {

std::optional<int> whole(const QString &text, int lo, int hi) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < lo || v > hi) return std::nullopt;
    return v;
}

[[noreturn]] void end(const QString &text) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    std::exit(2);
}

} // namespace

void load_qt_translations(const QStringList &modules) {
    for (const QString &module : modules) {
        auto *t = new QTranslator(QCoreApplication::instance());
        if (t->load(QLocale(QLocale::Chinese, QLocale::China), module, QStringLiteral("_"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(t);
        else
            delete t;
    }
}

void parse(QCommandLineParser &parser, const QStringList &arguments) {
    if (!parser.parse(arguments)) usage_error(parser.errorText());
    // Parsed cleanly, process() only answers --help, --help-all and --version.
    parser.process(arguments);
}

void usage_error(const QString &message) {
    end(message + QStringLiteral("\n（用 --help 查看用法）"));
}

void fatal(const QString &message) {
    end(message);
}

int number(const QCommandLineParser &parser, const QString &name, int lo, int hi) {
    const QString text = parser.value(name);
    if (const auto v = whole(text, lo, hi)) return *v;
    usage_error(QStringLiteral("--%1 的值无效：%2（应为 %3 到 %4 的整数）")
                    .arg(name, text)
                    .arg(lo)
                    .arg(hi));
}

QList<int> list(const QCommandLineParser &parser, const QString &name, int lo, int hi) {
    const QString text = parser.value(name);
    QList<int> out;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char(':'));
        const int from = ends.size() <= 2 ? whole(ends.first(), lo, hi).value_or(hi + 1) : hi + 1;
        const int to = whole(ends.last(), lo, hi).value_or(lo - 1);
        if (from > to)
            usage_error(QStringLiteral("--%1 的值无效：%2（应为 %3 到 %4 的整数，用逗号分隔，"
                                       "A:B 表示从 A 到 B，例如 1,2,7:12）")
                            .arg(name, text)
                            .arg(lo)
                            .arg(hi));
        for (int n = from; n <= to; ++n)
            out << n;
    }
    return out;
}

PortMap com_map(const QStringList &values) {
    PortMap map;
    for (const QString &value : values) {
        if (!map.add(value))
            usage_error(
                QStringLiteral("--com 的值无效：%1（应为 N=设备 或 COMN=设备，N 为 1 到 16）")
                    .arg(value));
        const QString device = value.section(QLatin1Char('='), 1);
        if (port_text_of(device).kind == PortText::Bad) {
            PortError e{PortError::BadAddress};
            e.name = device;
            e.problem = port_text_of(device).problem;
            fatal(QStringLiteral("--com %1：").arg(value) + port_message(e));
        }
    }
    return map;
}

} // namespace cli
