#pragma once

#include <QMap>
#include <QString>

// Which device stands behind COMn. Unmapped ports follow the PC convention:
// COM1 is /dev/ttyS0, COM2 /dev/ttyS1, and so on.
class PortMap {
public:
    QString device(int n) const;
    void map(int n, const QString &device) { devices_[n] = device; }
    // Takes "N=DEVICE" or "COMN=DEVICE" as given to --com; false if the text is not of that form.
    bool add(const QString &option);

private:
    QMap<int, QString> devices_;
};
