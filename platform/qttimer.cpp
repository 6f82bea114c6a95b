/// @brief QtTimer: QTimer's timeout handed on as the seam's.
#include "platform/qttimer.h"

QtTimer::QtTimer(QObject* parent) : Timer(parent) { connect(&m_timer, &QTimer::timeout, this, &Timer::timeout); }
