// The phone's audio on its way to the daemon: the playout buffer, fed with
// packets on the phone's clock and read on ours, in simulated time.
#include <QtTest>

#include <re.h>

#include "playout.h"

#include <cmath>

class tst_Playout : public QObject
{
    Q_OBJECT

private slots:
    void clocks_data();
    void clocks();
};

void tst_Playout::clocks_data()
{
    QTest::addColumn<double>("phoneRate");   // the phone's samples per our second / 8000
    QTest::addColumn<int>("burst");          // packets that arrive together
    QTest::addColumn<int>("lose");           // a packet to lose, -1 none
    QTest::addColumn<int>("restart");        // from this packet on, a new SSRC with numbers far behind
    QTest::addColumn<int>("jumpMs");         // at 2 s the phone's sending jumps this far ahead

    QTest::newRow("same clock") << 1.0 << 1 << -1 << -1 << 0;
    QTest::newRow("phone 0.1 % fast") << 1.001 << 1 << -1 << -1 << 0;
    QTest::newRow("phone 0.1 % slow") << 0.999 << 1 << -1 << -1 << 0;
    QTest::newRow("phone 100 ppm fast") << 1.0001 << 1 << -1 << -1 << 0;
    QTest::newRow("jitter: packets in pairs") << 1.0 << 2 << -1 << -1 << 0;
    QTest::newRow("a lost packet") << 1.0 << 1 << 500 << -1 << 0;
    QTest::newRow("the phone restarts its stream") << 1.0 << 1 << -1 << 2000 << 0;
    QTest::newRow("a burst of 120 ms ahead, then steady") << 1.0 << 1 << -1 << -1 << 120;
}

// Two minutes of a 440 Hz tone from the phone. Once it plays, the buffer
// never runs dry, its level stays within a packet or two of the target, and
// the samples it merges or splits to follow the phone's clock leave no jump
// bigger than the tone's own steepest step.
void tst_Playout::clocks()
{
    QFETCH(double, phoneRate);
    QFETCH(int, burst);
    QFETCH(int, lose);
    QFETCH(int, restart);
    QFETCH(int, jumpMs);

    const unsigned target = 320;
    const int packet = 160, frame = 128;
    const double amplitude = 10000, step = 2 * M_PI * 440 / 8000;
    Playout play(target);

    const double packetUs = 20000.0 / phoneRate;
    const double end = 120e6;
    double nextPacket = 0, nextRead = 0;
    int seq = 0;
    int16_t prev = 0;
    bool started = false;
    size_t maxLevel = 0, minLevel = SIZE_MAX;
    int worstJump = 0;
    int silentRun = 0, longestSilence = 0;
    while (nextRead < end) {
        if (nextPacket <= nextRead) {
            for (int b = 0; b < burst; ++b, ++seq) {
                struct rtp_header hdr = {};
                hdr.ver = 2;
                hdr.pt = 0;
                const bool restarted = restart >= 0 && seq >= restart;
                hdr.seq = uint16_t(restarted ? seq - 20000 : seq);
                hdr.ts = uint32_t(restarted ? 777777 + seq * packet : 1000 + seq * packet);
                hdr.ssrc = restarted ? 8 : 7;
                int16_t s[packet];
                for (int i = 0; i < packet; ++i)
                    s[i] = int16_t(std::lround(amplitude * std::sin(step * (seq * packet + i))));
                if (seq != lose)
                    play.put(hdr, s, packet);
            }
            nextPacket += burst * packetUs;
            if (seq == 100)
                nextPacket -= jumpMs * 1000.0;
            continue;
        }
        const size_t level = play.level();
        int16_t out[frame];
        play.read(out, frame);
        if (!started && out[0] != 0)
            started = true;
        if (started && nextRead > 10e6) {
            maxLevel = qMax(maxLevel, level);
            minLevel = qMin(minLevel, level);
            for (int i = 0; i < frame; ++i) {
                const int16_t s = out[i];
                worstJump = qMax(worstJump, std::abs(int(s) - int(i ? out[i - 1] : prev)));
                silentRun = s == 0 ? silentRun + 1 : 0;
                longestSilence = qMax(longestSilence, silentRun);
            }
        }
        prev = out[frame - 1];
        nextRead += 16000;
    }
    qInfo("level %zu..%zu, merged %u, split %u, lost %u, underruns %u, worst step %d", minLevel, maxLevel,
          play.merged(), play.split(), play.lost(), play.underruns(), worstJump);
    QVERIFY(started);
    if (restart >= 0) {
        // Starting over costs one refill, not the rest of the call.
        QVERIFY(play.underruns() <= 1);
        QVERIFY(longestSilence <= int(target) + 2 * frame + packet);
        return;
    }
    QCOMPARE(play.underruns(), 0u);
    QVERIFY(maxLevel <= target + frame + 3 * packet * burst);
    QVERIFY(minLevel >= target / 4);
    QCOMPARE(play.lost(), lose >= 0 ? 1u : 0u);
    if (lose < 0) {
        // The tone's steepest step is amplitude * step (3455); allow rounding.
        QVERIFY2(worstJump <= amplitude * step * 1.05, "a sample was dropped or repeated audibly");
        QVERIFY(longestSilence < 3);
    } else {
        QCOMPARE(longestSilence >= packet, true);  // the lost packet became silence in its place
    }
    // What was merged less what was split follows the drift, within a
    // packet or so; on one clock nothing is split, and merged is at most
    // what the start left over the target (under a frame). A burst ahead is
    // cut once, not merged away over a minute.
    const int drift = int(std::lround((phoneRate - 1) * 8000 * end / 1e6));
    QVERIFY(std::abs(int(play.merged()) - int(play.split()) - drift) <= 200);
    if (phoneRate == 1.0 && lose < 0) {
        QCOMPARE(play.split(), 0u);
        QVERIFY(play.merged() < unsigned(frame));
    }
    QCOMPARE(play.cut(), jumpMs ? 1u : 0u);
}

QTEST_MAIN(tst_Playout)
#include "tst_playout.moc"
