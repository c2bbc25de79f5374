#pragma once

#include <QByteArray>
#include <QString>

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
