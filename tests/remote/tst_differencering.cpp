/// @brief The time-difference ring: wrap, lost counts, limits per fetch, independent cursors.
#include "remote/differencering.h"

#include <QtTest>
#include <vector>

namespace {
/// first: sequence number of the first value fetched; before: appended before the cursor came.
struct Row {
    int capacity, before, after, max, first, count, lost;
};
} // namespace
Q_DECLARE_METATYPE(Row)

class TestDifferenceRing : public QObject {
    Q_OBJECT

private slots:
    void fetchAfterAppends_data();
    void fetchAfterAppends();
    void cursorsAreIndependent();
};

void TestDifferenceRing::fetchAfterAppends_data()
{
    QTest::addColumn<Row>("row");
    //                                                  capacity before after max first count lost
    QTest::newRow("nothing yet") << Row{8, 5, 0, 10, 5, 0, 0};
    QTest::newRow("only values after the cursor") << Row{8, 3, 5, 10, 3, 5, 0};
    QTest::newRow("max limits") << Row{8, 0, 6, 4, 0, 4, 0};
    QTest::newRow("exactly full") << Row{8, 2, 8, 100, 2, 8, 0};
    QTest::newRow("one overwritten") << Row{8, 0, 9, 100, 1, 8, 1};
    QTest::newRow("many laps") << Row{8, 5, 27, 100, 24, 8, 19};
    QTest::newRow("capacity not a power of two") << Row{10, 0, 23, 100, 13, 10, 13};
    QTest::newRow("overwritten, then max") << Row{8, 0, 13, 3, 5, 3, 5};
}

void TestDifferenceRing::fetchAfterAppends()
{
    QFETCH(Row, row);
    const auto [capacity, before, after, max, first, count, lost] = row;
    DifferenceRing ring(capacity);
    int next = -1000; // negative values travel too
    for (int i = 0; i < before; ++i)
        ring.append(next++);
    DifferenceRing::Cursor c = ring.cursorAtEnd();
    for (int i = 0; i < after; ++i)
        ring.append(next++);

    QCOMPARE(ring.written(), quint64(before + after));
    QCOMPARE(ring.available(c), quint64(std::min(after, capacity)));
    QCOMPARE(ring.lost(c), quint64(lost));

    std::vector<qint32> out(size_t(capacity) + 1, 77);
    QCOMPARE(ring.fetch(c, max, out.data()), qsizetype(count));
    QCOMPARE(c.lost, quint64(lost));
    QCOMPARE(ring.lost(c), quint64(lost)); // the gap stays reported until the next fetch
    for (int i = 0; i < count; ++i)
        QCOMPARE(out[size_t(i)], qint32(-1000 + first + i));
    QCOMPARE(out[size_t(count)], 77);

    // The rest, as little-endian bytes, continues where the first fetch stopped.
    const int rest = int(ring.available(c));
    QCOMPARE(rest, std::min(after, capacity) - count);
    QByteArray bytes(1 + 4 * rest, '\0');
    QCOMPARE(ring.fetchLittleEndian(c, rest + 5, bytes.data() + 1), qsizetype(rest));
    QCOMPARE(c.lost, quint64(0));
    for (int i = 0; i < rest; ++i)
        QCOMPARE(qFromLittleEndian<qint32>(bytes.constData() + 1 + 4 * i), qint32(-1000 + first + count + i));
    QCOMPARE(ring.available(c), quint64(0));
    QCOMPARE(ring.lost(c), quint64(0));
}

void TestDifferenceRing::cursorsAreIndependent()
{
    DifferenceRing ring(4);
    DifferenceRing::Cursor early = ring.cursorAtEnd();
    for (int i = 0; i < 6; ++i)
        ring.append(i);
    DifferenceRing::Cursor late = ring.cursorAtEnd();
    for (int i = 6; i < 9; ++i)
        ring.append(i);
    QCOMPARE(ring.lost(early), quint64(5));
    QCOMPARE(ring.lost(late), quint64(0));

    qint32 out[4] = {};
    QCOMPARE(ring.fetch(late, 10, out), qsizetype(3));
    QCOMPARE(out[2], 8);
    QCOMPARE(ring.fetch(early, 1, out), qsizetype(1));
    QCOMPARE(out[0], 5);
    QCOMPARE(early.lost, quint64(5));

    // Four more overwrite 5..8: early had read up to 5, so 6, 7, 8 are newly lost.
    for (int i = 9; i < 13; ++i)
        ring.append(i);
    QCOMPARE(ring.lost(early), quint64(5 + 3));
    QCOMPARE(ring.lost(late), quint64(0));
    QCOMPARE(ring.fetch(early, 10, out), qsizetype(4));
    QCOMPARE(early.lost, quint64(3));
    QCOMPARE(out[0], 9);
    QCOMPARE(ring.fetch(late, 10, out), qsizetype(4));
    QCOMPARE(late.lost, quint64(0));
    QCOMPARE(out[3], 12);
}

QTEST_APPLESS_MAIN(TestDifferenceRing)
#include "tst_differencering.moc"
