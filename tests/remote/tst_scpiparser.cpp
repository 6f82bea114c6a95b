/// @brief The SCPI language: header forms, the tree place across ";", parameters, errors, the error queue and status
/// bits.
#include "remote/scpiformat.h"
#include "remote/scpiparser.h"
#include "remote/scpistatus.h"

#include <QtTest>

using namespace scpi;

namespace {

/// "<table header>[?] v1 v2" per command, "ERR <n>" for the error that ended the line.
QString render(const std::vector<Parsed>& parsed)
{
    QStringList out;
    for (const Parsed& p : parsed) {
        if (p.error != Error::None) {
            out << QStringLiteral("ERR %1").arg(int(p.error));
            continue;
        }
        QString s = QString::fromLatin1(p.command->header);
        if (p.query)
            s += u'?';
        for (int i = 0; i < p.valueCount; ++i) {
            const Value& v = p.values[size_t(i)];
            s += u' ';
            if (!v.text.isNull())
                s += u'<' + QString::fromUtf8(v.text) + u'>';
            else if (v.choice >= 0)
                s += QStringLiteral("#%1").arg(v.choice);
            else
                s += v.flag ? QStringLiteral("on") : QString::number(v.number);
        }
        out << s;
    }
    return out.join(QStringLiteral(" | "));
}

} // namespace

class TestScpiParser : public QObject {
    Q_OBJECT
private slots:
    void parsesLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("parsed");
        // Forms and case.
        QTest::newRow("long") << QByteArray("CALIBRATION:TAU:A 9.5") << "CALibration:TAU:A 9.5";
        QTest::newRow("short, lower case") << QByteArray("cal:tau:a 9.5") << "CALibration:TAU:A 9.5";
        QTest::newRow("in-between form") << QByteArray("CALIB:TAU:A 9.5") << "ERR -113";
        QTest::newRow("optional node given") << QByteArray("syst:err:next?") << "SYSTem:ERRor[:NEXT]?";
        QTest::newRow("optional node left out") << QByteArray("SYST:ERR?") << "SYSTem:ERRor[:NEXT]?";
        QTest::newRow("leading colon") << QByteArray(":RUN:STAT ON") << "RUN[:STATe] on";
        QTest::newRow("common command") << QByteArray("*idn?") << "*IDN?";
        // The tree place across ";".
        QTest::newRow("relative to the last branch")
            << QByteArray("CAL:TAU:A 9.5;B 9.6;A?")
            << "CALibration:TAU:A 9.5 | CALibration:TAU:B 9.6 | CALibration:TAU:A?";
        QTest::newRow("common command keeps the place")
            << QByteArray("FETC:COUN?;*OPC;DT?") << "FETCh:COUNt? | *OPC | FETCh:DT?";
        QTest::newRow("colon goes back to the root")
            << QByteArray("CAL:TAU:A 9;:RUN?") << "CALibration:TAU:A 9 | RUN[:STATe]?";
        QTest::newRow("unknown under the branch, known from the root")
            << QByteArray("FILE:PATH?;RUN OFF") << "FILE:PATH? | RUN[:STATe] 0";
        QTest::newRow("empty units") << QByteArray(" ; *CLS ;; ") << "*CLS";
        // Parameters.
        QTest::newRow("booleans") << QByteArray("RUN on;FILE 0;DISP OFF;FILE:RAW 1")
                                  << "RUN[:STATe] on | FILE[:STATe] 0 | DISPlay[:STATe] 0 | FILE:RAW on";
        QTest::newRow("integer rounds") << QByteArray("SOUR:DAC:A 1.23E3") << "SOURce:DAC:A 1230";
        QTest::newRow("two reals") << QByteArray("HIST:WIND -1.5e3 , 250") << "HISTogram:WINDow -1500 250";
        QTest::newRow("optional query parameter") << QByteArray("FETC:DT? 100;DT?") << "FETCh:DT? 100 | FETCh:DT?";
        QTest::newRow("choice, short and long")
            << QByteArray("FORM int;FORM:DATA ASCII") << "FORMat[:DATA] #1 | FORMat[:DATA] #0";
        QTest::newRow("string with doubled quotes and ;")
            << QByteArray(R"(FILE:PATH "a ""b"";c")") << R"(FILE:PATH <a "b";c>)";
        QTest::newRow("single-quoted string") << QByteArray("CONN:ADDR 'host'") << "CONNection:ADDRess <host>";
        // Errors: the bad command and the rest of the line are dropped, what came before stays.
        QTest::newRow("undefined header") << QByteArray("*CLS;FOO?;*CLS") << "*CLS | ERR -113";
        QTest::newRow("query of a command only") << QByteArray("HIST:CLE?") << "ERR -113";
        QTest::newRow("command of a query only") << QByteArray("FETC:COUN") << "ERR -113";
        QTest::newRow("missing parameter") << QByteArray("RUN") << "ERR -109";
        QTest::newRow("parameter not allowed") << QByteArray("*IDN? 1") << "ERR -108";
        QTest::newRow("one too many") << QByteArray("HIST:WIND 1,2,3") << "ERR -108";
        QTest::newRow("not a boolean") << QByteArray("RUN 2") << "ERR -224";
        QTest::newRow("not a number") << QByteArray("SOUR:DAC:A twelve") << "ERR -224";
        QTest::newRow("out of range") << QByteArray("SOUR:DAC:A 4096") << "ERR -222";
        QTest::newRow("register out of range") << QByteArray("REG? 8") << "ERR -222";
        QTest::newRow("unquoted string") << QByteArray("FILE:PATH /tmp") << "ERR -224";
        QTest::newRow("unknown choice") << QByteArray("FORM REAL") << "ERR -224";
        QTest::newRow("unterminated quote") << QByteArray("FILE:PATH \"/tmp") << "ERR -102";
        QTest::newRow("stray quote inside a string") << QByteArray("FILE:PATH \"a\"b\"") << "ERR -102";
        QTest::newRow("bad character in header") << QByteArray("RUN,ON") << "ERR -102";
        QTest::newRow("empty node") << QByteArray("CAL::DATA?") << "ERR -102";
        QTest::newRow("empty parameter") << QByteArray("HIST:WIND 1,") << "ERR -102";
    }
    void parsesLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, parsed);
        Parser parser;
        QCOMPARE(render(parser.parseLine(line)), parsed);
    }

    void eachLineStartsAtTheRoot()
    {
        Parser parser;
        QCOMPARE(render(parser.parseLine("CAL:TAU:A 9")), QStringLiteral("CALibration:TAU:A 9"));
        QCOMPARE(render(parser.parseLine("B?")), QStringLiteral("ERR -113"));
    }

    void errorQueueAndStatusBits()
    {
        Status s;
        s.setEventEnable(Status::CommandError);
        s.setServiceRequestEnable(Status::EventSummary);
        for (int i = 0; i < 40; ++i)
            s.push(Error::UndefinedHeader);
        QCOMPARE(s.errorCount(), 32);
        QCOMPARE(int(s.statusByte()), Status::ErrorAvailable | Status::EventSummary | Status::ServiceRequest);
        QCOMPARE(int(s.takeEventRegister()), Status::CommandError | Status::DeviceError);
        QCOMPARE(int(s.takeEventRegister()), 0);
        for (int i = 0; i < 31; ++i)
            QCOMPARE(s.popAnswer(), QByteArray(R"(-113,"Undefined header")"));
        // The newest entry gave way to the overflow; the oldest are kept.
        QCOMPARE(s.popAnswer(), QByteArray(R"(-350,"Queue overflow")"));
        QCOMPARE(s.popAnswer(), QByteArray(R"(0,"No error")"));
        s.push(Error::QueryInterrupted);
        s.push(Error::Hardware);
        QCOMPARE(int(s.eventRegister()), Status::QueryError | Status::ExecutionError);
        s.clear();
        QCOMPARE(s.errorCount(), 0);
        QCOMPARE(int(s.statusByte()), 0);
    }

    void blocksAndNumbers()
    {
        const qint32 values[] = {1, -2, 0x01020304};
        QCOMPARE(int32Block(values), QByteArray("#212\x01\0\0\0\xfe\xff\xff\xff\x04\x03\x02\x01", 16));
        QCOMPARE(int32Block({}), QByteArray("#10"));
        QCOMPARE(blockHeader(1234567), QByteArray("#71234567"));
        QCOMPARE(int32List(values), QByteArray("1,-2,16909060"));
        QCOMPARE(real(0.1), QByteArray("0.1"));
        QCOMPARE(real(std::nan("")), QByteArray("9.91E37"));
        QCOMPARE(quoted(QStringLiteral("a\"b")), QByteArray(R"("a""b")"));
    }
};

QTEST_APPLESS_MAIN(TestScpiParser)
#include "tst_scpiparser.moc"
