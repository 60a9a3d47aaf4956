// End-to-end cases: the real tmx-driver on the pty of shield-sim playing one
// of its shipped scenarios, a scripted telephony application on the daemon's
// standard input and output, and the line audio on the real UDP ports. The
// files of a case and their format: shield-sim/README.md.
//
// Each case is one CTest test, e2e_NAME; by hand: netns-run tst_e2e run:NAME
// (it uses the daemon's UDP ports, so it gets a network of its own).
// TMX_E2E_REBUILD=1 writes each case's output into NAME.chk instead of
// comparing it; TMX_E2E_KEEP=1 keeps each case's files, as a failed case does.

#include "e2ecase.h"
#include "e2echecks.h"

#include <QDir>
#include <QtTest>

class tst_E2E : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void cleanup();

private:
    QScopedPointer<E2ECase> current;
};

void tst_E2E::run_data()
{
    QTest::addColumn<QString>("name");
    const QStringList cases = QDir(QStringLiteral(TMX_E2E_DIR)).entryList({QStringLiteral("*.tel")}, QDir::Files, QDir::Name);
    QVERIFY2(!cases.isEmpty(), "no cases in " TMX_E2E_DIR);
    for (const QString &file : cases)
        QTest::newRow(qPrintable(file.chopped(4))) << file.chopped(4);
}

void tst_E2E::run()
{
    QFETCH(QString, name);
    current.reset(new E2ECase(name));
    E2ECase &c = *current;
    QVERIFY2(c.load(), qPrintable(c.failure()));
    QVERIFY2(c.start(), qPrintable(c.failure() + c.report()));
    QVERIFY2(c.runScript(), qPrintable(c.failure() + c.report()));
    QVERIFY2(c.finish(), qPrintable(c.failure() + c.report()));

    E2EChecks::checkFrames(c);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(c.compareTranscript(), qPrintable(c.failure()));
    for (const QString &check : c.checks()) {
        QVERIFY2(E2EChecks::run(check, c), qPrintable(QStringLiteral("unknown check '%1'").arg(check)));
        if (QTest::currentTestFailed())
            return;
    }
}

void tst_E2E::cleanup()
{
    if (current && (QTest::currentTestFailed() || qEnvironmentVariableIntValue("TMX_E2E_KEEP") == 1))
        current->keepFiles();
    current.reset();
}

QTEST_GUILESS_MAIN(tst_E2E)

#include "tst_e2e.moc"
