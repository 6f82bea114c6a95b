/// @brief The run box's logic: run on or off at the instrument, statistics cleared, data file opened and closed.
#pragma once

#include "platform/fileerror.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class DataFile;
class MessageBoxes;
class RunStatistics;

/// What the window's Run box does, without the box. Sends that fail (no connection) are ignored
/// and the rest of the step still happens; a data file that cannot be opened gets the operator's
/// message box, and the run goes on without a file while the box is up.
class RunSwitch : public QObject {
    Q_OBJECT
public:
    using SendFunction = std::function<bool(const QByteArray&)>;

    static inline const QString BadPathText = QStringLiteral("Oops! Bad path for saving the data files!");

    RunSwitch(SendFunction send, RunStatistics& statistics, DataFile& dataFile, MessageBoxes& boxes,
              QObject* parent = nullptr);

    /// The main window's caption, for the message box title ("<caption> - Oops!").
    void setWindowCaption(const QString& caption) { m_caption = caption; }
    /// The File option; read at each run start only.
    void setFileTicked(bool ticked) { m_fileTicked = ticked; }
    /// The data folder text, used as given.
    void setDataFolder(const QString& folder) { m_folder = folder; }

    /// Call on every change of the run box, with its new state.
    void setRun(bool ticked);
    bool isRunning() const { return m_running; }

signals:
    /// The run started without the data file it should have had, as the box says; for front
    /// ends without that box. `reason` names the folder and the system's reason.
    void dataFileOpenFailed(FileFailure failure, const QString& reason);

private:
    SendFunction m_send;
    RunStatistics& m_statistics;
    DataFile& m_dataFile;
    MessageBoxes& m_boxes;
    QString m_caption = QStringLiteral("Tallyscope");
    QString m_folder;
    bool m_fileTicked = false;
    bool m_running = false;
};
