// Received bytes through the reception path (ReplyBuffer and the event code 2
// handler) in random batches, with a random model text, against a plain
// reference of the sum-check rules written here: every byte the receive
// window gets, and the wait flag, must agree after every event.
//
// Input: a sequence of records, each an operation byte then its operand:
//   op % 4 == 0  a batch: one length byte, then that many bytes
//   op % 4 == 1  an event with nothing to read
//   op % 4 == 2  a new TEST: the received text emptied, the wait started
//   op % 4 == 3  Combo4 changes: one byte b; b < 6 picks a known text (LNKCTRL
//                and near misses), otherwise the next b % 16 bytes are the text
#include "fakeserialport.h"
#include "transaction.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class Sink : public TextSink {
public:
    void insert(const QByteArray &bytes) override { text += bytes.toStdString(); }
    std::string text;
};

class Flag : public WaitFlag {
public:
    bool running() const override { return on; }
    void start() override { on = true; }
    void stop() override { on = false; }
    bool on = false;
};

// The rules, plainly: recbuf is everything since the last TEST; a batch that
// holds ETB judges the frame from the first start marker to the first ETB.
struct Reference {
    std::string recbuf;
    std::string rec;
    bool waiting = false;

    void test() {
        recbuf.clear();
        waiting = true;
    }

    void batch(const std::string &b, const QString &model) {
        recbuf += b;
        rec += b;
        if (b.find('\x17') != std::string::npos) {
            waiting = false;
            const char marker = model == QLatin1String("LNKCTRL") ? '\x14' : '\x02';
            // 1-based positions, as the rules count them.
            const std::size_t s = recbuf.find(marker) + 1; // 0 when absent
            const std::size_t e = recbuf.find('\x17') + 1;
            if (e > 10 && s != 0) {
                std::uint64_t computed = 0;
                for (std::size_t p = s; p + 6 <= e; ++p)
                    computed += (unsigned char)recbuf[p - 1];
                std::uint64_t received = 0;
                const std::string field = recbuf.substr(e - 6, 5);
                for (char c : field)
                    received = received * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
                if (computed == received) {
                    rec += "OK SUM=" + field + "\r\n";
                } else if (computed >= 800000) {
                    rec += "ERR SUM=" + std::to_string(computed) + "\r\n";
                } else {
                    rec += "ERR SUM=";
                    rec += char(48 + computed / 10000);
                    rec += std::to_string(10000 + computed % 10000).substr(1);
                    rec += "\r\n";
                }
            }
        }
        if (recbuf.find('\x06') != std::string::npos) {
            waiting = false;
            rec += "ACK\r\n";
        }
        if (recbuf.find('\x15') != std::string::npos) {
            waiting = false;
            rec += "NAK\r\n";
        }
    }
};

const char *const kModels[] = {"LNKCTRL", "PM-01", "lnkctrl", "LNKCTRL ", "", "PM-23"};

[[noreturn]] void fail(const char *what, const Reference &ref, const Sink &rec) {
    std::fprintf(stderr, "fuzz_reception: %s\nrecbuf: %s\nwant:   %s\ngot:    %s\n", what,
                 QByteArray::fromStdString(ref.recbuf).toHex(' ').constData(),
                 QByteArray::fromStdString(ref.rec).toHex(' ').constData(),
                 QByteArray::fromStdString(rec.text).toHex(' ').constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FakeSerialPort port;
    Flag timer;
    Sink trs, rec;
    Transaction tx(port, timer, trs, rec);
    Reference ref;
    QString model = QString::fromLatin1(kModels[size % std::size(kModels)]);
    QObject::connect(&port, &SerialPort::comm, [&](int code) { tx.comm(code, model); });

    tx.test(Selection{});
    ref.test();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t op = data[i++];
        switch (op % 4) {
        case 0: {
            std::size_t n = 0;
            if (i < size) {
                n = data[i++];
                n = std::min(n, size - i);
            }
            const std::string b(reinterpret_cast<const char *>(data + i), n);
            i += n;
            port.receive(QByteArray::fromStdString(b));
            ref.batch(b, model);
            break;
        }
        case 1:
            port.deliver(2);
            ref.batch({}, model);
            break;
        case 2:
            // A new TEST: recbuf emptied and the wait started, as test() does.
            timer.on = false;
            tx.test(Selection{});
            port.writes.clear();
            port.log.clear();
            ref.test();
            break;
        default:
            if (i < size) {
                const std::uint8_t b = data[i++];
                if (b < std::size(kModels)) {
                    model = QString::fromLatin1(kModels[b]);
                } else {
                    const std::size_t n = std::min<std::size_t>(b % 16, size - i);
                    model =
                        QString::fromLatin1(reinterpret_cast<const char *>(data + i), qsizetype(n));
                    i += n;
                }
            }
            break;
        }
        if (rec.text != ref.rec) fail("receive window differs", ref, rec);
        if (timer.on != ref.waiting) fail("wait flag differs", ref, rec);
        if (tx.recbuf().text().toStdString() != ref.recbuf) fail("recbuf differs", ref, rec);
    }
    if (std::getenv("KC_FUZZ_TRACE")) // to read what a corpus file gives
        std::fprintf(stderr, "rec: %s\n",
                     rec.text.size() > 200 ? rec.text.substr(rec.text.size() - 60).c_str()
                                           : rec.text.c_str());
    return 0;
}
