/// @brief Run start and stop in the instrument's order: command first, then statistics and file.
#include "measure/runswitch.h"

#include "link/commands.h"

#include "measure/datafile.h"
#include "measure/runstatistics.h"
#include "platform/messagebox.h"

RunSwitch::RunSwitch(SendFunction send, RunStatistics& statistics, DataFile& dataFile, MessageBoxes& boxes,
                     QObject* parent)
    : QObject(parent), m_send(std::move(send)), m_statistics(statistics), m_dataFile(dataFile), m_boxes(boxes)
{}

void RunSwitch::setRun(bool ticked)
{
    m_running = ticked;
    if (!ticked) {
        if (m_send)
            m_send(commands::runOff());
        m_dataFile.close();
        return;
    }

    // The start command goes out before the clear: records are decoded only once the event
    // loop runs again, so none of the new run can be counted before it.
    if (m_send)
        m_send(commands::runOn());
    m_statistics.clearForRunStart();
    if (!m_fileTicked) {
        m_dataFile.close();
        return;
    }
    // The failed open has left no file open, so the run goes on without one at once; the answer
    // changes nothing. Acting on it could only undo what happened while the box was up (a stop on
    // a lost link, a later start with its own file).
    if (m_dataFile.open(m_folder))
        return;
    m_boxes.show(BadPathText, m_caption + QStringLiteral(" - Oops!"), MessageBoxes::Buttons::Ok,
                 MessageBoxes::Icon::None);
    emit dataFileOpenFailed(m_dataFile.failure(), m_folder.isEmpty()
                                                      ? m_dataFile.errorString()
                                                      : QStringLiteral("Cannot create a data file in \"%1\": %2")
                                                            .arg(m_folder, m_dataFile.errorString()));
}
