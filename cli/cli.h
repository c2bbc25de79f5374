#pragma once

#include "portmap.h"

#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

// The command line of the console, the probe and the simulator.
namespace cli {

// Qt's own texts (the headings of --help, parser errors, context menus, the
// serial port's reasons) in the programs' language, for the life of the
// application. Call after the application object exists.
void load_qt_translations(const QStringList &modules = {QStringLiteral("qtbase")});

// Parses arguments; answers --help, --help-all and --version and ends the
// program; a wrong option ends it through usage_error().
void parse(QCommandLineParser &parser, const QStringList &arguments);

// The one way a wrong command line ends a program: the message and the hint
// to --help on standard error, exit status 2.
[[noreturn]] void usage_error(const QString &message);
// An error that is no usage error (the line cannot be opened): the message on
// standard error, exit status 2.
[[noreturn]] void fatal(const QString &message);

// A whole number lo..hi.
int number(const QCommandLineParser &parser, const QString &name, int lo, int hi);
// "1,2,7:12": numbers lo..hi and inclusive ranges, in the order given.
QList<int> list(const QCommandLineParser &parser, const QString &name, int lo, int hi);

// The values of --com ("N=DEVICE" or "COMN=DEVICE"): a wrong form is a usage
// error, an address that cannot be used fails as its opening would.
PortMap com_map(const QStringList &values);

} // namespace cli
