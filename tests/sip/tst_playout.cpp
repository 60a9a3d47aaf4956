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
    QTest::addColumn<int>("lateMs");         // one packet in lateEvery comes this much late
    QTest::addColumn<int>("lateEvery");
    QTest::addColumn<int>("startLateMs");    // in the first second, every third packet this much late
    QTest::addColumn<int>("holdUpMs");       // at 2.2 s, one packet this much late

    QTest::newRow("same clock") << 1.0 << 1 << -1 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("phone 0.1 % fast") << 1.001 << 1 << -1 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("phone 0.1 % slow") << 0.999 << 1 << -1 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("phone 100 ppm fast") << 1.0001 << 1 << -1 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("jitter: packets in pairs") << 1.0 << 2 << -1 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("jitter: a packet 12 ms late every 3 s") << 1.0 << 1 << -1 << -1 << 0 << 12 << 150 << 0 << 0;
    QTest::newRow("jitter: a packet 12 ms late every 10 s") << 1.0 << 1 << -1 << -1 << 0 << 12 << 500 << 0 << 0;
    QTest::newRow("jitter only while the stream starts") << 1.0 << 1 << -1 << -1 << 0 << 0 << 150 << 30 << 0;
    QTest::newRow("a lost packet") << 1.0 << 1 << 500 << -1 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("the phone restarts its stream") << 1.0 << 1 << -1 << 2000 << 0 << 0 << 150 << 0 << 0;
    QTest::newRow("one packet 15 ms late early on, then steady") << 1.0 << 1 << -1 << -1 << 0 << 0 << 150 << 0 << 15;
    QTest::newRow("a burst of 120 ms ahead, then steady") << 1.0 << 1 << -1 << -1 << 120 << 0 << 150 << 0 << 0;
}

// Two minutes of a 440 Hz tone from the phone. Once it plays, the buffer
// never runs dry, its level stays within a packet or two of the target, and
// the samples it merges or splits to follow the phone's clock leave no jump
// bigger than the tone's own steepest step. With packets on time, whatever
// the phone's clock, the level comes down from the ceiling to a frame and a
// margin, and stays there.
void tst_Playout::clocks()
{
    QFETCH(double, phoneRate);
    QFETCH(int, burst);
    QFETCH(int, lose);
    QFETCH(int, restart);
    QFETCH(int, jumpMs);
    QFETCH(int, lateMs);
    QFETCH(int, lateEvery);
    QFETCH(int, startLateMs);
    QFETCH(int, holdUpMs);

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
    size_t maxLevel = 0, minLevel = SIZE_MAX, highestTarget = 0;
    double levelSum = 0;
    int levels = 0;
    int worstJump = 0;
    int silentRun = 0, longestSilence = 0;
    while (nextRead < end) {
        const double due = nextPacket + (lateMs && seq % lateEvery == 110 % lateEvery ? lateMs * 1000.0 : 0)
                           + (seq < 50 && seq % 3 == 0 ? startLateMs * 1000.0 : 0)
                           + (seq == 110 ? holdUpMs * 1000.0 : 0);
        if (due <= nextRead) {
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
                    play.put(hdr, s, packet, uint64_t(due));
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
            highestTarget = qMax(highestTarget, play.currentTarget());
            minLevel = qMin(minLevel, level);
            levelSum += double(level);
            ++levels;
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
    qInfo("target %zu (highest %zu), level %zu..%zu mean %.1f, merged %u, split %u, lost %u, underruns %u, worst step %d",
          play.currentTarget(), highestTarget, minLevel, maxLevel, levelSum / qMax(levels, 1), play.merged(), play.split(), play.lost(),
          play.underruns(), worstJump);
    QVERIFY(started);
    if (restart >= 0) {
        // Starting over costs one refill, not the rest of the call.
        QVERIFY(play.underruns() <= 1);
        QVERIFY(longestSilence <= int(target) + 2 * frame + packet);
        return;
    }
    // A lost packet shows only when the next one comes; with a frame and a
    // margin left, the buffer may run dry for that once. So may a hold-up
    // that comes back after the level came down (seconds later), once: from
    // then on the level stays up for it.
    const unsigned mayRunDry = (lose >= 0 ? 1u : 0u) + (lateMs && lateEvery > 150 ? 1u : 0u);
    QVERIFY(play.underruns() <= mayRunDry);
    QVERIFY(maxLevel <= target + frame + 3 * packet * burst);
    QCOMPARE(play.lost(), lose >= 0 ? 1u : 0u);
    if (lose < 0 && !play.underruns()) {
        // The tone's steepest step is amplitude * step (3455); allow rounding.
        QVERIFY2(worstJump <= amplitude * step * 1.05, "a sample was dropped or repeated audibly");
        QVERIFY(longestSilence < 3);
    } else if (lose >= 0) {
        QCOMPARE(longestSilence >= packet, true);  // the lost packet became silence in its place
    }
    // What was merged less what was split follows the drift and what the
    // start left between the ceiling and the target measured, within a
    // packet or so. A burst ahead is cut once, not merged away over a minute.
    const int drift = int(std::lround((phoneRate - 1) * 8000 * end / 1e6));
    const int startSurplus = int(target) - int(play.currentTarget());
    QVERIFY(std::abs(int(play.merged()) - int(play.split()) - drift - startSurplus) <= 200);
    // Packets on time, the phone fast, slow or not: the level sits a frame
    // and a margin low, at most a packet over the frame on average. One
    // hold-up early on is forgotten once they are steady again: from 10 s on
    // it plays to a frame, a margin and a little.
    if (burst == 1 && lose < 0 && !jumpMs && !lateMs) {
        QVERIFY2(levelSum / levels <= frame + packet, "the level did not come down to what the packets need");
        QVERIFY2(highestTarget <= frame + packet / 2, "a hold-up long over still holds the level up");
    }
    QCOMPARE(play.cut(), jumpMs ? 1u : 0u);
}

QTEST_MAIN(tst_Playout)
#include "tst_playout.moc"
