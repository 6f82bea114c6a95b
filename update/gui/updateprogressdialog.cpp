/// @brief UpdateProgressDialog: follows the routine's download signals.
#include "update/gui/updateprogressdialog.h"

#include "update/updateroutine.h"

#include <QLocale>

namespace {
// The bar counts in thousandths, so that files beyond the int range still fill it.
constexpr int kSteps = 1000;
} // namespace

UpdateProgressDialog::UpdateProgressDialog(UpdateRoutine& routine, QWidget* parent) : QProgressDialog(parent)
{
    setWindowTitle(routine.programName() + QStringLiteral(" - Updating"));
    setWindowModality(Qt::ApplicationModal);
    setCancelButton(nullptr);
    setMinimumDuration(0);
    setAutoClose(false);
    setAutoReset(false);
    setRange(0, kSteps);
    // QProgressDialog shows itself after construction unless told otherwise.
    reset();
    hide();
    connect(&routine, &UpdateRoutine::downloadStarted, this, &UpdateProgressDialog::begin);
    connect(&routine, &UpdateRoutine::downloadProgress, this, &UpdateProgressDialog::advance);
    connect(&routine, &UpdateRoutine::downloadsEnded, this, [this] {
        reset();
        hide();
    });
}

QString UpdateProgressDialog::progressText(const QString& fileName, qint64 received, qint64 total)
{
    const QLocale locale;
    if (total > 0)
        return QStringLiteral("Downloading %1: %2 of %3 bytes")
            .arg(fileName, locale.toString(received), locale.toString(total));
    return QStringLiteral("Downloading %1: %2 bytes").arg(fileName, locale.toString(received));
}

void UpdateProgressDialog::begin(const QString& fileName)
{
    m_fileName = fileName;
    advance(0, -1);
    show();
}

void UpdateProgressDialog::advance(qint64 received, qint64 total)
{
    setLabelText(progressText(m_fileName, received, total));
    if (total > 0) {
        setMaximum(kSteps);
        setValue(int(qMin<qint64>(kSteps, received * kSteps / total)));
    } else {
        // Unknown size: the busy bar.
        setMaximum(0);
    }
}
