/// @brief The progress of the update's downloads: which file, and how many bytes have arrived.
#pragma once

#include <QProgressDialog>

class UpdateRoutine;

/// Shown while the update's files transfer, hidden when they are done or when a notice has to be
/// shown instead. It blocks input to the panel, as the update always has, but not the event loop:
/// the instrument link keeps running underneath.
class UpdateProgressDialog : public QProgressDialog {
    Q_OBJECT
public:
    explicit UpdateProgressDialog(UpdateRoutine& routine, QWidget* parent = nullptr);

    /// "Downloading <file>: <received> of <total> bytes" in the user's number format.
    static QString progressText(const QString& fileName, qint64 received, qint64 total);

private:
    void begin(const QString& fileName);
    void advance(qint64 received, qint64 total);

    QString m_fileName;
};
