/// @brief The command table against the command documentation's table: the same commands, with the same forms.
#include "remote/scpicommands.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>
#include <map>

using namespace scpi;

namespace {

/// The row that heads the documented command table.
const QString HeaderRow = QStringLiteral("| command | answer or effect |");

/// A form as "(p, p)" with each parameter as the reader meets it: booleans and choices by
/// their words, other values as "x", an optional last one marked "[x]"; "-" when not allowed.
QString tableForm(const Form& form)
{
    if (!form.allowed)
        return QStringLiteral("-");
    QStringList params;
    for (const Parameter& p : form.parameters) {
        if (p.kind == Kind::None)
            continue;
        QString word = p.kind == Kind::Boolean  ? QStringLiteral("ON|OFF")
                       : p.kind == Kind::Choice ? QString::fromLatin1(p.choices)
                                                : QStringLiteral("x");
        params << (p.optional ? u'[' + word + u']' : word);
    }
    return u'(' + params.join(QStringLiteral(", ")) + u')';
}

/// The same rendering of what the document writes after a header: "ON\|OFF", "<from>,<to>", "[max]".
QString documentedForm(QString params)
{
    params = params.trimmed();
    if (params.isEmpty())
        return QStringLiteral("()");
    const bool optional = params.startsWith(u'[') && params.endsWith(u']');
    if (optional)
        params = params.mid(1, params.size() - 2);
    QStringList words;
    for (const QString& given : params.split(u',')) {
        const QString word = given.trimmed();
        words << (word.contains(u'|') ? word : QStringLiteral("x"));
    }
    if (optional)
        words.last() = u'[' + words.last() + u']';
    return u'(' + words.join(QStringLiteral(", ")) + u')';
}

struct Documented {
    QString command = QStringLiteral("-");
    QString query = QStringLiteral("-");
};

/// The headers of the document's command table with their forms. The first cell of a row names
/// one or more commands as code spans: "`*ESE n`/`?`" is a command with a parameter and a query
/// without, "`REGister? <0..7>`" a query with one; "\|" stands for "|".
std::map<QString, Documented> readDocument(const QString& path, QString& problem)
{
    std::map<QString, Documented> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        problem = QStringLiteral("cannot read ") + path;
        return out;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    const qsizetype start = lines.indexOf(HeaderRow);
    if (start < 0) {
        problem = QStringLiteral("no row \"%1\" in %2").arg(HeaderRow, path);
        return out;
    }
    static const QRegularExpression span(QStringLiteral("`([^`]+)`(/`\\?`)?"));
    // Past the header and its "| --- | --- |".
    for (qsizetype i = start + 2; i < lines.size() && lines[i].startsWith(u'|'); ++i) {
        const QString& row = lines[i];
        qsizetype end = 1;
        while (end < row.size() && !(row[end] == u'|' && row[end - 1] != u'\\'))
            ++end;
        const QString cell = row.mid(1, end - 1);
        for (const QRegularExpressionMatch& m : span.globalMatch(cell)) {
            QString text = m.captured(1).replace(QStringLiteral("\\|"), QStringLiteral("|")).trimmed();
            const qsizetype blank = text.indexOf(u' ');
            QString header = blank < 0 ? text : text.left(blank);
            const QString params = blank < 0 ? QString() : text.mid(blank + 1);
            Documented& d = out[header.endsWith(u'?') ? header.chopped(1) : header];
            if (header.endsWith(u'?')) {
                d.query = documentedForm(params);
            } else {
                d.command = documentedForm(params);
                if (m.hasCaptured(2))
                    d.query = QStringLiteral("()");
            }
        }
    }
    if (out.empty())
        problem = QStringLiteral("no commands under \"%1\" in %2").arg(HeaderRow, path);
    return out;
}

QString forms(const QString& command, const QString& query)
{
    return QStringLiteral("command %1, query %2").arg(command, query);
}

} // namespace

class TestScpiCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_documented = readDocument(QStringLiteral(TALLYSCOPE_COMMAND_DOC), m_problem);
        QVERIFY2(m_problem.isEmpty(), qPrintable(m_problem));
    }

    void entriesAreComplete()
    {
        QSet<QString> headers;
        for (const CommandEntry& entry : commandTable()) {
            const QString header = QString::fromLatin1(entry.header);
            // A second entry of a header would never be reached: the parser takes the first.
            QVERIFY2(!headers.contains(header), qPrintable(header));
            headers.insert(header);
            QVERIFY2(entry.handler, qPrintable(header));
            QVERIFY2(entry.command.allowed || entry.query.allowed, qPrintable(header));
            const QString help = QString::fromUtf8(entry.help);
            QVERIFY2(!help.isEmpty() && !help.contains(u'\n') && help.endsWith(u'.'),
                     qPrintable(header + QStringLiteral(": ") + help));
        }
    }

    void everyEntryIsDocumented_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("inTable");
        for (const CommandEntry& entry : commandTable()) {
            QTest::newRow(entry.header) << QString::fromLatin1(entry.header)
                                        << forms(tableForm(entry.command), tableForm(entry.query));
        }
    }
    void everyEntryIsDocumented()
    {
        QFETCH(QString, header);
        QFETCH(QString, inTable);
        const auto it = m_documented.find(header);
        QVERIFY2(it != m_documented.end(),
                 qPrintable(header + QStringLiteral(" is missing from ") + TALLYSCOPE_COMMAND_DOC));
        QCOMPARE(forms(it->second.command, it->second.query), inTable);
    }

    void everyDocumentedCommandIsInTheTable_data()
    {
        QTest::addColumn<QString>("header");
        for (const auto& [header, documented] : m_documented)
            QTest::newRow(qPrintable(header)) << header;
    }
    void everyDocumentedCommandIsInTheTable()
    {
        QFETCH(QString, header);
        const auto table = commandTable();
        const bool found = std::any_of(table.begin(), table.end(), [&](const CommandEntry& entry) {
            return header == QLatin1String(entry.header);
        });
        QVERIFY2(found, qPrintable(header + QStringLiteral(" is documented but not in the command table")));
    }

private:
    std::map<QString, Documented> m_documented;
    QString m_problem;
};

QTEST_APPLESS_MAIN(TestScpiCommands)
#include "tst_scpicommands.moc"
