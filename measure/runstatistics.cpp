/// @brief Run statistics with the strict comparisons and the range that follows min and max.
#include "measure/runstatistics.h"

#include "link/numberformat.h"

#include <QLocale>
#include <utility>

void RunStatistics::clearForRunStart()
{
    m_count = 0;
    m_min.reset();
    m_max.reset();
    m_rangeShown = false;
    noteChange();
}

RunStatistics::Batch::~Batch() { m_statistics.endBatch(); }

void RunStatistics::endBatch()
{
    if (--m_batchDepth == 0 && std::exchange(m_changePending, false))
        emit changed();
}

void RunStatistics::minMaxReset(bool runTicked)
{
    if (!runTicked || !m_last)
        return;
    m_min = m_last;
    m_max = m_last;
    m_rangeShown = true;
    noteChange();
}

QString RunStatistics::countCaption() const
{
    if (!m_count)
        return {};
    // Always grouped by three: QLocale::toString omits the separator under the C locale and
    // groups by other rules in some locales.
    if (const QLocale current; current != m_captionLocale) {
        m_captionLocale = current;
        m_groupSeparator = current.groupSeparator();
    }
    return numberformat::grouped(*m_count, m_groupSeparator);
}

QString RunStatistics::rangeCaption() const
{
    // The range is recomputed on every change of the min or max caption, where an empty
    // caption counts as 0; it is blank only right after a run start.
    if (!m_rangeShown)
        return {};
    const qint64 mx = m_max.value_or(0);
    const qint64 mn = m_min.value_or(0);
    return QString::number(mx > mn ? mx - mn : mn - mx);
}
