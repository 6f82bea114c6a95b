/// @brief The error queue's overflow rule and the error classes' event bits.
#include "remote/scpistatus.h"

#include <utility>

namespace scpi {
namespace {

quint8 eventBit(Error e)
{
    const int n = int(e);
    if (n <= -100 && n > -200)
        return Status::CommandError;
    if (n <= -200 && n > -300)
        return Status::ExecutionError;
    if (n <= -300 && n > -400)
        return Status::DeviceError;
    if (n <= -400 && n > -500)
        return Status::QueryError;
    return 0;
}

} // namespace

void Status::push(Error e, const char* detail)
{
    if (e == Error::None)
        return;
    m_esr |= eventBit(e);
    if (m_queue.size() < QueueCapacity) {
        m_queue.push_back({e, detail});
        return;
    }
    m_queue.back() = {Error::QueueOverflow, nullptr};
    m_esr |= eventBit(Error::QueueOverflow);
}

QByteArray Status::popAnswer()
{
    if (m_queue.empty())
        return errorAnswer(Error::None);
    const Entry e = m_queue.front();
    m_queue.pop_front();
    return errorAnswer(e.error, e.detail);
}

void Status::clear()
{
    m_queue.clear();
    m_esr = 0;
    m_operationEvent = 0;
}

quint8 Status::statusByte(bool messageAvailable) const
{
    quint8 stb = 0;
    if (!m_queue.empty())
        stb |= ErrorAvailable;
    if (messageAvailable)
        stb |= MessageAvailable;
    if (m_esr & m_ese)
        stb |= EventSummary;
    if (m_operationEvent & m_operationEnable)
        stb |= OperationSummary;
    if (stb & m_sre)
        stb |= ServiceRequest;
    return stb;
}

} // namespace scpi
