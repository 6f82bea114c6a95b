/// @brief Bounded acquisitions, READ?, the operation status and the lock, as scripts meet them on the control port.
#include "common/remoterig.h"
#include "control/calibrationmodel.h"
#include "measure/runsidecar.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

using namespace remoterig;

namespace {

qint64 sumOf(const QByteArray& list)
{
    qint64 sum = 0;
    for (const QByteArray& n : list.trimmed().split(','))
        sum += n.toLongLong();
    return sum;
}

QString unquoted(const QByteArray& answer) { return QString::fromUtf8(answer.trimmed().chopped(1).mid(1)); }

QJsonObject sidecarOf(const QString& dataFile)
{
    QFile f(RunSidecar::pathFor(dataFile));
    f.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(f.readAll()).object();
}

QList<qint32> fileValues(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QList<qint32> out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            out.append(line.trimmed().toInt());
    return out;
}

/// A calibrated rig whose records come many to an arrival, so that a bound falls inside one.
struct Calibrated : Rig {
    static SimulatorConfig config()
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 20000;
        return cfg;
    }
    Calibrated() : Rig(config())
    {
        remote->clientConnected(1);
        remote->clientConnected(2);
        elapse(8);
    }
};

} // namespace

class TestAcquisition : public QObject {
    Q_OBJECT
private slots:
    // A count bound ends the run on its record, in the middle of an arrival: the count, the
    // fetch, the histogram and the file hold exactly the first n records the instrument sent;
    // the rest of that arrival, and what still comes, is in none of them and in the sidecar's
    // count of records after the stop.
    void countBoundIsExactInsideAnArrival()
    {
        Calibrated rig;
        QVERIFY(rig.session->calibrationShown().runGate);
        const int n = 1237;
        QCOMPARE(rig.ask(1, "FILE ON;:HIST:RANG:ALL ON;:ACQ:COUN 1237;COUN?;TIME?"), QByteArray("1237;0\n"));
        QCOMPARE(rig.ask(1, "INIT;*OPC?"), QByteArray());
        QCOMPARE(rig.ask(2, "STAT:OPER:COND?;:RUN?"), QByteArray("16;1\n"));
        rig.elapse(0.5);
        QCOMPARE(rig.take(1), QByteArray("1\n"));
        QCOMPARE(rig.ask(2, "STAT:OPER:COND?;:RUN?"), QByteArray("0;0\n"));
        rig.elapse(0.3); // records still in flight after the stop

        const QList<qint32> truth = groundTruth(rig.sim->config().groundTruthPath);
        QVERIFY(truth.size() > n);
        const QList<qint32> expected = truth.first(n);
        QCOMPARE(rig.ask(1, "FETC:COUN?"), QByteArray("1237\n"));
        QCOMPARE(blockValues(rig.ask(1, "FORM INT;FETC:DT?").chopped(1)), expected);
        QCOMPARE(sumOf(rig.ask(1, "FORM ASC;HIST:DATA?")), qint64(n));
        const QString file = unquoted(rig.ask(1, "FILE:NAME?"));
        QCOMPARE(fileValues(file), expected);
        const QJsonObject acquisition = sidecarOf(file).value(QStringLiteral("acquisition")).toObject();
        QCOMPARE(acquisition.value(QStringLiteral("records")).toInteger(), n);
        QVERIFY(acquisition.value(QStringLiteral("seconds")).isNull());
        // The arrival that held the n-th record held more behind it.
        QVERIFY(acquisition.value(QStringLiteral("recordsAfterStop")).toInteger() > 0);
        QCOMPARE(
            sidecarOf(file).value(QStringLiteral("records")).toObject().value(QStringLiteral("decoded")).toInteger(),
            n);

        // The next run counts again from its own first record.
        QCOMPARE(rig.ask(1, "ACQ:COUN 10;:READ:DT?"), QByteArray());
        rig.elapse(0.1);
        const QList<QByteArray> again = rig.take(1).trimmed().split(',');
        QCOMPARE(again.size(), 10);
        QCOMPARE(rig.ask(1, "FETC:COUN?;:SYST:ERR?"), QByteArray("10;0,\"No error\"\n"));
    }

    // The time bound runs from the first record's arrival; records after it stay out.
    void timeBoundRunsFromTheFirstRecord()
    {
        Calibrated rig;
        QCOMPARE(rig.ask(1, "ACQ:TIME 0.2;TIME?;:FORM INT"), QByteArray("0.2\n"));
        QCOMPARE(rig.ask(1, "INIT;*OPC?"), QByteArray());
        rig.elapse(0.1);
        QCOMPARE(rig.take(1), QByteArray());
        rig.elapse(0.3);
        QCOMPARE(rig.take(1), QByteArray("1\n"));
        const QList<qint32> fetched = blockValues(rig.ask(1, "FETC:DT?").chopped(1));
        const QList<qint32> truth = groundTruth(rig.sim->config().groundTruthPath);
        // About 0.2 s of 20,000 records a second, and exactly the first ones sent.
        QVERIFY2(fetched.size() > 3000 && fetched.size() < 5000, qPrintable(QString::number(fetched.size())));
        QCOMPARE(fetched, truth.first(fetched.size()));
        rig.elapse(0.5);
        QCOMPARE(rig.ask(1, "FETC:COUN?"), QByteArray::number(fetched.size()) + '\n');
        // No record, no clock: an acquisition that never sees one waits for its first.
        rig.sim->silence(60000);
        QCOMPARE(rig.ask(1, "INIT;*OPC?"), QByteArray());
        rig.elapse(2);
        QCOMPARE(rig.take(1), QByteArray());
        // Ended inside the other client's turn: the answer follows from the event loop.
        QCOMPARE(rig.ask(2, "ABOR"), QByteArray());
        QTRY_COMPARE(rig.transport.answers[1], QByteArray("1\n"));
    }

    // INIT is refused while any run is on; ABORt ends a READ? early, which answers what it has
    // and says it is not what was asked for; *OPC set before the end sets its bit at the end.
    void initAbortAndCompletion()
    {
        Calibrated rig;
        QCOMPARE(rig.ask(2, "RUN ON;:INIT;SYST:ERR?;:RUN OFF"), QByteArray("-213,\"Init ignored\"\n"));
        QCOMPARE(rig.ask(1, "HIST:RANG:ALL ON;:ACQ:COUN 100000000;:FORM INT;:READ:DT?;*OPC;*ESR?"), QByteArray());
        QCOMPARE(rig.ask(2, "INIT;SYST:ERR?"), QByteArray("-213,\"Init ignored\"\n"));
        rig.elapse(0.3);
        QCOMPARE(rig.ask(2, "ABOR"), QByteArray());
        QTRY_VERIFY(rig.transport.answers[1].endsWith('\n'));
        const QByteArray answer = rig.take(1);
        // The early end is an execution error (16) beside the operation complete (1).
        QVERIFY(answer.endsWith(";17\n"));
        const QList<qint32> fetched = blockValues(answer.first(answer.size() - 4));
        QVERIFY(fetched.size() > 1000);
        QCOMPARE(rig.ask(1, "FETC:COUN?;:SYST:ERR?"),
                 QByteArray::number(fetched.size()) + ";-231,\"Data questionable;acquisition ended early\"\n");

        // READ:HISTogram? is the histogram of exactly its acquisition.
        const QByteArray hist = rig.ask(1, "ACQ:COUN 777;:FORM ASC;:READ:HIST?");
        QCOMPARE(hist, QByteArray());
        rig.elapse(0.2);
        QCOMPARE(sumOf(rig.take(1)), qint64(777));
        // A run the operator unticks ends the acquisition as an abort does.
        QCOMPARE(rig.ask(1, "ACQ:COUN 0;:INIT;*OPC?"), QByteArray());
        rig.session->setRun(false);
        QCOMPARE(rig.take(1), QByteArray("1\n"));
        QCOMPARE(rig.ask(1, "SYST:ERR?"), QByteArray("-231,\"Data questionable;acquisition ended early\"\n"));
        // Its own ABORt is no news to the client.
        QCOMPARE(rig.ask(1, "INIT;ABOR;*OPC?;:SYST:ERR?"), QByteArray("1;0,\"No error\"\n"));
        QCOMPARE(rig.ask(1, "INIT;*RST;*OPC?;:SYST:ERR?"), QByteArray("1;0,\"No error\"\n"));
    }

    // Calibrating is bit 0, measuring bit 4; their rising edges latch in the event register,
    // which reading clears, and enabled ones are bit 7 of the status byte.
    void operationStatusFollowsTheSession()
    {
        Calibrated rig;
        // The connection's own calibration has come and gone.
        QCOMPARE(rig.ask(1, "STAT:OPER?;:STAT:OPER?;:STAT:OPER:COND?"), QByteArray("1;0;0\n"));
        QCOMPARE(rig.ask(1, "CAL;:STAT:OPER:COND?"), QByteArray("1\n"));
        rig.elapse(10);
        QCOMPARE(rig.ask(1, "ACQ:COUN 5;:INIT;:STAT:OPER:COND?;:STAT:OPER:ENAB 16;ENAB?;*STB?;*SRE 128;*STB?"),
                 QByteArray("16;16;144;208\n"));
        rig.elapse(0.2);
        QCOMPARE(rig.ask(1, "STAT:OPER:COND?;EVEN?;EVEN?;*STB?"), QByteArray("0;17;0;16\n"));
        // The other client latched the same edges; *CLS empties its register.
        QCOMPARE(rig.ask(2, "*CLS;:STAT:OPER?"), QByteArray("0\n"));
    }

    // One client's lock refuses every change of the others and lets their queries through; the
    // window hears of it; a disconnect releases it.
    void lockRefusesOtherClientsChanges_data()
    {
        QTest::addColumn<QByteArray>("line");
        for (const char* line :
             {"RUN ON", "INIT", "READ:DT?", "READ:HIST?", "ABOR", "FILE ON", "FILE:VERB ON", "FILE:RAW ON", "DISP OFF",
              "CAL", "CAL:TAU:A 5", "SOUR:DAC:A 7", "HIST:BWID 50", "HIST:WIND -5,5", "HIST:CLE", "HIST:RANG:ALL ON",
              "*RST", "SYST:LOCK:REL", "CONN:ADDR \"127.0.0.2\""})
            QTest::newRow(line) << QByteArray(line);
    }
    void lockRefusesOtherClientsChanges()
    {
        QFETCH(QByteArray, line);
        Calibrated rig;
        QSignalSpy lock(rig.remote.get(), &RemoteControl::lockChanged);
        QCOMPARE(rig.ask(1, "SYST:LOCK:REQ?;REQ?"), QByteArray("1;1\n"));
        QCOMPARE(rig.ask(2, "SYST:LOCK:REQ?;OWN?"), QByteArray("0;\"client 1\"\n"));
        QCOMPARE(lock.size(), 1);
        const QString before = rig.state();
        const QByteArray histogram = rig.ask(1, "HIST:BWID?;WIND?;RANG:ALL?");
        QCOMPARE(rig.ask(2, line + ";:SYST:ERR?"), QByteArray("-200,\"Execution error;locked by another client\"\n"));
        QCOMPARE(rig.state(), before);
        QCOMPARE(rig.ask(1, "HIST:BWID?;WIND?;RANG:ALL?"), histogram);
        QCOMPARE(rig.ask(1, "SYST:LOCK:OWN?;:CAL:VAL?"), QByteArray("\"client 1\";1\n"));
        // Its own settings and every query stay the client's to use.
        QCOMPARE(rig.ask(2, "FORM INT;:ACQ:COUN 3;COUN?;*ESE 4;:FETC:COUN?;:CAL:VAL?;:SYST:ERR?"),
                 QByteArray("3;0;1;0,\"No error\"\n"));

        rig.remote->clientDisconnected(1);
        QCOMPARE(lock.size(), 2);
        QCOMPARE(lock.last().at(0).toBool(), false);
        QCOMPARE(rig.ask(2, "SYST:LOCK:OWN?;REQ?;:SYST:LOCK:REL;:SYST:LOCK:OWN?"), QByteArray("\"\";1;\"\"\n"));
    }

    // Bounds out of their range are refused and leave the previous ones; a tiny time still bounds.
    void boundsAreChecked()
    {
        Calibrated rig;
        QCOMPARE(rig.ask(1, "ACQ:COUN 5;COUN -1"), QByteArray());
        QCOMPARE(rig.ask(1, "ACQ:TIME 2e6"), QByteArray());
        QCOMPARE(rig.ask(1, "SYST:ERR?;ERR?;:ACQ:COUN?;TIME?"),
                 QByteArray("-222,\"Data out of range\";-222,\"Data out of range\";5;0\n"));
        QCOMPARE(rig.ask(1, "ACQ:TIME 0.0001;TIME?;*RST;:ACQ:TIME?;COUN?"), QByteArray("0.001;0;0\n"));
    }
};

QTEST_GUILESS_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
