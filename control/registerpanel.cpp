/// @brief Register requests and the Auto poll cycle 1..7, 0.
#include "control/registerpanel.h"

#include "link/commands.h"
#include "platform/clock.h"

RegisterPanel::RegisterPanel(SendFunction send, const Clock& clock, QObject* parent)
    : QObject(parent), m_send(std::move(send)), m_auto(clock.makeTimer())
{
    m_auto->setInterval(AutoIntervalMs);
    connect(m_auto.get(), &Timer::timeout, this, &RegisterPanel::pollTick);
}

void RegisterPanel::request(int index)
{
    if (index < 0 || index >= RegisterCount || !m_send)
        return;
    m_send(commands::registerRead(index));
}

void RegisterPanel::requestAll()
{
    // Register 7 (the Verilog version) does not change while running; only a name click
    // or the poll asks for it.
    for (int i = 0; i < RegisterCount - 1; ++i)
        request(i);
}

void RegisterPanel::setAutoPoll(bool on)
{
    if (!on)
        m_auto->stop();
    else if (!m_auto->isActive())
        m_auto->start();
}

void RegisterPanel::pollTick()
{
    if (++m_autoIndex > RegisterCount - 1)
        m_autoIndex = 0;
    request(m_autoIndex);
}
