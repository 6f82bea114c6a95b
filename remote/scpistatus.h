/// @brief ScpiStatus: one connection's error queue and IEEE 488.2 status registers.
#pragma once

#include "remote/scpierror.h"

#include <QByteArray>
#include <deque>
#include <utility>

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
    enum StbBit : quint8 {
        ErrorAvailable = 0x04,
        MessageAvailable = 0x10,
        EventSummary = 0x20,
        ServiceRequest = 0x40,
        OperationSummary = 0x80,
    };
    /// Operation status bits (STATus:OPERation), as SCPI numbers them.
    enum OperationBit : quint16 { Calibrating = 0x0001, Measuring = 0x0010 };

    /// Enough for a script that never reads its errors to notice without holding much.
    static constexpr size_t QueueCapacity = 32;

    /// Queues the error and sets its class's event bit. A full queue keeps its oldest entries
    /// and replaces the newest with "Queue overflow", as SCPI has it.
    /// `detail` (a literal) follows the standard text after a semicolon.
    void push(Error e, const char* detail = nullptr);
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

    /// The operation condition went from `before` to `after`: its rising bits are latched in the
    /// event register (SCPI's default positive transition filter).
    void operationChanged(quint16 before, quint16 after) { m_operationEvent |= quint16(after & ~before); }
    /// STATus:OPERation:EVENt?: reading clears it.
    quint16 takeOperationEvent() { return std::exchange(m_operationEvent, 0); }
    void setOperationEnable(quint16 mask) { m_operationEnable = mask; }
    quint16 operationEnable() const { return m_operationEnable; }

private:
    struct Entry {
        Error error;
        const char* detail;
    };
    std::deque<Entry> m_queue;
    quint16 m_operationEvent = 0;
    quint16 m_operationEnable = 0;
    quint8 m_esr = 0;
    quint8 m_ese = 0;
    quint8 m_sre = 0;
};

} // namespace scpi
