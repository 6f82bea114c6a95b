/// @brief Message log: 1,000,000 appended record lines into the log model and its view, against a text box that
/// prepends.
#include "app/logview.h"
#include "bench/benchutil.h"
#include "session/messagelog.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <cstdio>

namespace {

QString recordLine(quint32 i)
{
    // The plain record line: the time difference right-aligned in nine characters.
    const qint32 dt = qint32(i * 2654435761u % 60001u) - 30000;
    const QString n = dt < 0 ? QString::number(dt) : u' ' + QString::number(dt);
    return (QStringLiteral("         ") + n).right(9);
}

struct Result {
    qint64 lines = 0;
    double seconds = 0;
    double rssMiB = 0;
};

Result runModel(qint64 lines)
{
    MessageLog log;
    LogView view(log);
    view.resize(420, 263);
    view.show();
    const double before = benchutil::residentMiB();
    QElapsedTimer t;
    t.start();
    for (qint64 i = 0; i < lines; ++i) {
        log.LogMessage(recordLine(quint32(i)), false);
        // The panel's event loop runs between arrivals; let the view's batches happen.
        if (i % 5000 == 4999)
            QCoreApplication::processEvents();
    }
    view.flush();
    QCoreApplication::processEvents();
    Result r{lines, t.nsecsElapsed() / 1e9, benchutil::residentMiB() - before};
    std::printf("  model: %lld lines stored, %.1f MiB in the model's own accounting\n", qlonglong(log.lineCount()),
                log.storedBytes() / 1048576.0);
    return r;
}

template <typename Prepend>
Result runBaseline(qint64 maxLines, double budgetSeconds, Prepend prepend)
{
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.resize(420, 263);
    edit.show();
    const double before = benchutil::residentMiB();
    QElapsedTimer t;
    t.start();
    qint64 i = 0;
    for (; i < maxLines; ++i) {
        prepend(edit, recordLine(quint32(i)));
        if (i % 500 == 499) {
            QCoreApplication::processEvents();
            if (t.nsecsElapsed() / 1e9 > budgetSeconds) {
                ++i;
                break;
            }
        }
    }
    QCoreApplication::processEvents();
    return {i, t.nsecsElapsed() / 1e9, benchutil::residentMiB() - before};
}

void print(const char* name, const Result& r)
{
    std::printf("%-44s %9lld lines in %7.2f s = %12.0f lines/s, memory +%.1f MiB\n", name, qlonglong(r.lines),
                r.seconds, r.lines / r.seconds, r.rssMiB);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 lines = 1'000'000;
    const double budget = 20.0;

    std::printf("Message log: %lld appended record lines (baselines stop after %.0f s)\n", qlonglong(lines), budget);
    const Result model = runModel(lines);
    print("log model + its view (newest first)", model);

    // As the old log did it: the whole text rewritten with the new line in front.
    const Result rewrite = runBaseline(lines, budget, [](QPlainTextEdit& e, const QString& line) {
        e.setPlainText(line + QStringLiteral("\r\n") + e.toPlainText());
    });
    print("QPlainTextEdit, whole text rewritten", rewrite);

    // The cheapest prepend a plain text box offers: insert at the start of the document.
    const Result insert = runBaseline(lines, budget, [](QPlainTextEdit& e, const QString& line) {
        QTextCursor c(e.document());
        c.movePosition(QTextCursor::Start);
        c.insertText(line + u'\n');
    });
    print("QPlainTextEdit, inserted at the start", insert);

    const double modelRate = model.lines / model.seconds;
    std::printf("ratio (lines/s): %.0fx the rewriting text box, %.1fx the inserting text box\n",
                modelRate / (rewrite.lines / rewrite.seconds), modelRate / (insert.lines / insert.seconds));
    std::printf("peak resident memory of the whole run: %.1f MiB\n", benchutil::peakResidentMiB());
    return 0;
}
