#include "capture.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <pcap/pcap.h>

namespace {

constexpr int kUpperPdu = 252; // LINKTYPE_WIRESHARK_UPPER_PDU
constexpr quint16 kTagDissectorName = 12;
constexpr quint16 kTagEnd = 0;

void put16(QByteArray &b, quint16 v) {
    b.append(char(v >> 8)).append(char(v));
}

void put32(QByteArray &b, quint32 v) {
    put16(b, quint16(v >> 16));
    put16(b, quint16(v));
}

quint32 clamp32(qint64 v) {
    return v < 0 ? 0xffffffffu : v >= 0xffffffffLL ? 0xfffffffeu : quint32(v);
}

} // namespace

QByteArray capture_packet(const CaptureRecord &r) {
    static const QByteArray name = QByteArrayLiteral("kestrova"); // 8: no padding needed
    QByteArray b;
    b.reserve(4 + name.size() + 4 + kCaptureHeader + r.bytes.size());
    put16(b, kTagDissectorName);
    put16(b, quint16(name.size()));
    b += name;
    put16(b, kTagEnd);
    put16(b, 0);
    b.append(char(1)).append(char(r.direction)).append(char(r.line)).append(char(r.level));
    put32(b, clamp32(r.gapUs));
    put32(b, clamp32(r.spanUs));
    put16(b, quint16(qBound(0, r.timeoutMs, 0xffff)));
    put16(b, 0);
    return b + r.bytes;
}

bool CaptureFile::open(const QString &path, QString *reason) {
    close();
    auto *p = pcap_open_dead_with_tstamp_precision(kUpperPdu, 65535, PCAP_TSTAMP_PRECISION_NANO);
    if (!p) {
        if (reason) *reason = QString::fromLocal8Bit(std::strerror(ENOMEM));
        return false;
    }
    errno = 0;
    pcap_dumper_t *d = pcap_dump_open(p, QFile::encodeName(path).constData());
    if (!d) {
        // libpcap's text names the file and says why; errno alone is plainer.
        if (reason) *reason = QString::fromLocal8Bit(errno ? std::strerror(errno) : pcap_geterr(p));
        pcap_close(p);
        return false;
    }
    pcap_ = p;
    dumper_ = d;
    path_ = path;
    return true;
}

void CaptureFile::close() {
    if (dumper_) pcap_dump_close(static_cast<pcap_dumper_t *>(dumper_));
    if (pcap_) pcap_close(static_cast<pcap_t *>(pcap_));
    dumper_ = pcap_ = nullptr;
}

bool CaptureFile::write(const CaptureRecord &r, QString *reason) {
    if (!dumper_) return false;
    const QByteArray packet = capture_packet(r);
    pcap_pkthdr h{};
    // Nanosecond files keep nanoseconds in the microsecond field.
    h.ts.tv_sec = r.wallNs / 1'000'000'000;
    h.ts.tv_usec = r.wallNs % 1'000'000'000;
    h.caplen = h.len = bpf_u_int32(packet.size());
    auto *d = static_cast<pcap_dumper_t *>(dumper_);
    errno = 0;
    pcap_dump(reinterpret_cast<u_char *>(d), &h, reinterpret_cast<const u_char *>(packet.data()));
    if (pcap_dump_flush(d) != 0) {
        if (reason) *reason = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
        close();
        return false;
    }
    return true;
}
