#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One frame as a capture keeps it: what Wireshark shows as one packet.
struct CaptureRecord {
    // What the frame was on the line. A monitor hears requests and replies
    // (and bytes that made no frame); the console sends and receives.
    enum Direction : quint8 { Request = 1, Reply = 2, Sent = 3, Received = 4, Unframed = 5 };
    // The direction line at the write, where the port knows it.
    enum Line : quint8 { NoLine = 0, Rts = 1, Dtr = 2 };

    qint64 wallNs = 0; // the first byte, nanoseconds since the epoch
    Direction direction = Request;
    Line line = NoLine;
    bool level = false;
    qint64 gapUs = -1; // idle line before it; -1 unknown
    qint64 spanUs = 0; // first bit to last bit (the monitor); 0 where unknown
    int timeoutMs = 0; // the wait for a reply the pairing used
    QByteArray bytes;
};

// The packet's bytes after the pcap record header: the exported-PDU tags that
// name the dissector "kestrova", then a 16-byte header of our own (all
// numbers big-endian):
//   0 version (1)   1 direction   2 line   3 level (0/1)
//   4 gap µs (u32, 0xffffffff unknown)   8 span µs (u32)
//   12 time-out ms (u16)   14 reserved (0)
// and the frame's bytes as they were on the line.
QByteArray capture_packet(const CaptureRecord &r);
inline constexpr int kCaptureHeader = 16;

// A capture file in pcap format (nanosecond stamps) with link type 252,
// LINKTYPE_WIRESHARK_UPPER_PDU, written through libpcap and flushed at every
// record so that a crash or a pulled cable loses nothing already heard.
class CaptureFile {
public:
    CaptureFile() = default;
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;
    ~CaptureFile() { close(); }

    // False with the system's reason if the file cannot be made.
    bool open(const QString &path, QString *reason = nullptr);
    void close();
    bool isOpen() const { return dumper_ != nullptr; }
    QString path() const { return path_; }
    // False with the reason on a write error; the file is closed then.
    bool write(const CaptureRecord &r, QString *reason = nullptr);

private:
    void *pcap_ = nullptr;   // pcap_t
    void *dumper_ = nullptr; // pcap_dumper_t
    QString path_;
};
