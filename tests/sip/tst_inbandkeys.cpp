// The guard on keys as tones, with librem's own DTMF tones: each row is a
// second of audio in 20 ms packets both ways, a tone of the key # from the
// phone (start and length in ms, white noise beside it so many dB below the
// tone) and the same tone in the audio sent to the phone; then the keys
// that count (# counted, ! refused as the door's echo).
#include <QtTest>

#include "inbandkeys.h"

#include <re.h>
#include <rem.h>

#include <cmath>

class tst_InbandKeys : public QObject
{
    Q_OBJECT

private slots:
    void keys_data();
    void keys();
};

void tst_InbandKeys::keys_data()
{
    QTest::addColumn<int>("phoneAt");   // -1: none
    QTest::addColumn<int>("phoneMs");
    QTest::addColumn<int>("noiseDb");   // 0: no noise
    QTest::addColumn<int>("doorAt");    // -1: none
    QTest::addColumn<QString>("counted");

    QTest::newRow("60 ms counts") << 100 << 60 << 0 << -1 << "#";
    QTest::newRow("35 ms is too short") << 100 << 35 << 0 << -1 << "";
    QTest::newRow("26 dB over noise counts") << 100 << 100 << 26 << -1 << "#";
    QTest::newRow("12 dB over noise does not") << 100 << 100 << 12 << -1 << "";
    QTest::newRow("the door had it 200 ms before: its echo") << 300 << 100 << 0 << 100 << "!";
    QTest::newRow("the door had it 400 ms before") << 500 << 100 << 0 << 100 << "#";
    QTest::newRow("the phone's own tone heard back at the door") << 100 << 100 << 0 << 140 << "#";
}

void tst_InbandKeys::keys()
{
    QFETCH(int, phoneAt);
    QFETCH(int, phoneMs);
    QFETCH(int, noiseDb);
    QFETCH(int, doorAt);
    QFETCH(QString, counted);

    struct mbuf *mb = mbuf_alloc(16000);
    QVERIFY(mb && autone_dtmf(mb, 8000, '#') == 0 && mb->end >= 16000);
    const int16_t *tone = reinterpret_cast<const int16_t *>(mb->buf);
    double rms = 0;
    for (int i = 0; i < 8000; ++i)
        rms += double(tone[i]) * tone[i] / 8000;
    rms = std::sqrt(rms);

    QString keys;
    InbandKeys inband([&keys](char key, bool echo) { keys += echo ? QChar('!') : QChar(key); });
    uint32_t seed = 1;
    for (int ms = 0; ms < 1000; ms += 20) {
        int16_t phone[160], door[160];
        for (int i = 0; i < 160; ++i) {
            const int t = ms * 8 + i;
            const bool inTone = phoneAt >= 0 && t >= phoneAt * 8 && t < (phoneAt + phoneMs) * 8;
            double v = inTone ? tone[t % 8000] : 0;
            if (noiseDb) {
                // White noise, uniform: its RMS is the span / sqrt(12).
                seed = seed * 1103515245 + 12345;
                const double u = double(seed >> 8) / double(1 << 24) - 0.5;
                v += u * std::sqrt(12.0) * rms * std::pow(10.0, -noiseDb / 20.0);
            }
            phone[i] = int16_t(std::lround(v));
            const bool doorTone = doorAt >= 0 && t >= doorAt * 8 && t < (doorAt + 100) * 8;
            door[i] = doorTone ? tone[t % 8000] : 0;
        }
        inband.toPhone(door, 160, uint64_t(ms));
        inband.fromPhone(phone, 160, uint64_t(ms));
    }
    mem_deref(mb);
    QCOMPARE(keys, counted);
}

QTEST_MAIN(tst_InbandKeys)
#include "tst_inbandkeys.moc"
