#pragma once

#include "portmap.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A pseudo-terminal for tests: the console opens slavePath() as its serial
// device, the test reads and writes the master side.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool ok() const { return master_ >= 0; }
    QString slavePath() const { return slavePath_; }
    int master() const { return master_; }
    // Everything the other end has written, waiting up to timeoutMs for at least
    // `atLeast` bytes (pumping the Qt event loop meanwhile).
    QByteArray read(int atLeast, int timeoutMs = 2000);
    void write(const QByteArray &bytes);
    void closeMaster();
    // Lets go of the slave side, so that once the console closes it nothing holds
    // the device open: closing the master then is a device pulled out.
    void releaseSlave();

private:
    int master_ = -1;
    int slaveKeep_ = -1; // keeps the slave side alive between openings
    QString slavePath_;
};

// Every COMn a test could reach, pointed at a pseudo-terminal of the test
// process's own: a fault that falls back to a port number (COM1 is
// /dev/ttyS0, often the machine's console) can then never open a real port.
// Tests map the ports they use on top of it.
PortMap decoy_map();
// The same with `device` at COM `com` on top.
PortMap decoy_map(int com, const QString &device);
// The same for a console or probe the test starts: "--com N=..." for all
// sixteen, to go before the test's own options (a later --com wins).
QStringList decoy_com_args();
// What reached the decoy so far: a test may check that nothing strayed there.
QByteArray decoy_received();

// The kernel thread id of this process's release thread ("kc-release"), or 0.
int release_thread_id();
