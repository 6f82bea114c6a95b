/// @brief ScpiStatus: one connection's error queue and IEEE 488.2 status registers.
#pragma once

#include "remote/scpierror.h"

#include <QByteArray>
#include <deque>

namespace scpi {

class Status {
public:
    /// Standard Event Status Register bits.
    enum EsrBit : quint8 {
        OperationComplete = 0x01,
        QueryError = 0x04,
        DeviceError = 0x08,
        ExecutionError = 0x10,
        CommandError = 0x20,
    };
    /// Status Byte bits.
    enum StbBit : quint8 { ErrorAvailable = 0x04, MessageAvailable = 0x10, EventSummary = 0x20, ServiceRequest = 0x40 };

    /// Enough for a script that never reads its errors to notice without holding much.
    static constexpr size_t QueueCapacity = 32;

    /// Queues the error and sets its class's event bit. A full queue keeps its oldest entries
    /// and replaces the newest with "Queue overflow", as SCPI has it.
    void push(Error e);
    /// SYSTem:ERRor?: the oldest error, `0,"No error"` when there is none.
    QByteArray popAnswer();
    int errorCount() const { return int(m_queue.size()); }

    /// *CLS: the queue and the event register are emptied; the enable registers stay.
    void clear();
    void setOperationComplete() { m_esr |= OperationComplete; }
    /// *ESR?: reading clears it.
    quint8 takeEventRegister() { return std::exchange(m_esr, 0); }
    quint8 eventRegister() const { return m_esr; }
    void setEventEnable(quint8 mask) { m_ese = mask; }
    quint8 eventEnable() const { return m_ese; }
    void setServiceRequestEnable(quint8 mask) { m_sre = mask & ~ServiceRequest; }
    quint8 serviceRequestEnable() const { return m_sre; }
    /// *STB?: the summary bits; `messageAvailable` is the connection's own output state.
    quint8 statusByte(bool messageAvailable = false) const;

private:
    std::deque<Error> m_queue;
    quint8 m_esr = 0;
    quint8 m_ese = 0;
    quint8 m_sre = 0;
};

} // namespace scpi
