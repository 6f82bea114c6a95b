/// @brief Record-line number fields as bytes against their definitions in text: the plain field and the grouped
/// pattern.
#include "link/numberformat.h"
#include "link/plainlines.h"

#include <QTest>
#include <limits>

namespace {

/// The plain field as defined: a blank or minus sign before the digits, nine blanks in front,
/// the rightmost nine characters kept.
QString plainByDefinition(qint32 v)
{
    const QString n = v < 0 ? QString::number(v) : u' ' + QString::number(v);
    return (QStringLiteral("         ") + n).right(9);
}

QList<qint64> interestingValues()
{
    QList<qint64> values{0, 1, -1, 9, -9, 10, -10, 99, -99, 100, -100, 999, -999, 1000, -1000, 30457, -30457};
    for (qint64 p = 10; p <= 1000000000; p *= 10)
        for (qint64 d : {-1, 0, 1})
            values << p + d << -(p + d);
    values << std::numeric_limits<qint32>::max() << std::numeric_limits<qint32>::min()
           << std::numeric_limits<qint32>::min() + 1;
    // A spread of ordinary values with every digit count.
    for (quint32 i = 0, x = 12345; i < 2000; ++i) {
        x = x * 1103515245u + 12345u;
        values << qint64(qint32(x) >> (i % 31));
    }
    return values;
}

} // namespace

class TestNumberFormat : public QObject {
    Q_OBJECT
private slots:
    void plainField()
    {
        for (qint64 v : interestingValues()) {
            const qint32 value = qint32(v);
            if (value != v)
                continue;
            char buf[numberformat::PlainWidth + 4];
            std::memset(buf, 'x', sizeof buf);
            char* end = numberformat::putPlainField(buf, value);
            QCOMPARE(end - buf, qsizetype(numberformat::PlainWidth));
            QCOMPARE(buf[numberformat::PlainWidth], 'x'); // nothing written behind the field
            QCOMPARE(QString::fromLatin1(buf, end - buf), plainByDefinition(value));
        }
    }

    // Lines come from slots shared by differences with the same low bits: each must still be
    // its own difference's line, first time or repeated, after a neighbour took the slot.
    void plainLinesAreTheFieldsWhateverCameBefore()
    {
        PlainLines lines;
        QList<qint32> sequence;
        for (qint64 v : interestingValues()) {
            if (qint32(v) != v)
                continue;
            const auto value = qint32(v);
            // The slot's first tags are its index plus one: values that would match one unfilled.
            for (qint64 w : {v, v + 1, v + 2048, v - 2048, v, v + 65536, v})
                if (qint32(w) == w)
                    sequence << qint32(w);
            sequence << value;
        }
        QByteArray batch(sequence.size() * PlainLines::LineBytes + PlainLines::WriteBytes, 'x');
        char* to = batch.data();
        for (qint32 value : sequence)
            to = lines.put(to, value);
        QCOMPARE(to - batch.data(), qsizetype(sequence.size()) * PlainLines::LineBytes);
        for (int i = 0; i < sequence.size(); ++i) {
            const QString line = QString::fromLatin1(batch.constData() + i * PlainLines::LineBytes,
                                                     PlainLines::LineBytes);
            QCOMPARE(line, plainByDefinition(sequence[i]) + QStringLiteral("\r\n"));
        }
    }

    void groupedBytesMatchTheText_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::newRow("comma") << ",";
        QTest::newRow("none") << "";
        QTest::newRow("four characters") << "<-->";
    }
    void groupedBytesMatchTheText()
    {
        QFETCH(QString, separator);
        const QByteArray sep = separator.toLatin1();
        QList<qint64> values = interestingValues();
        values << std::numeric_limits<qint64>::max() << std::numeric_limits<qint64>::min();
        for (qint64 v : values) {
            char buf[numberformat::MaxGroupedBytes];
            char* end = numberformat::putGrouped(buf, v, std::string_view(sep.constData(), size_t(sep.size())));
            QCOMPARE(QString::fromLatin1(buf, end - buf), numberformat::grouped(v, separator));
        }
        QCOMPARE(numberformat::grouped(-2550457, separator),
                 QStringLiteral("-2") + separator + QStringLiteral("550") + separator + QStringLiteral("457"));
    }
};

QTEST_APPLESS_MAIN(TestNumberFormat)
#include "tst_numberformat.moc"
