/// @brief Message boxes for programs without a window: the text goes to stderr and the box counts as answered.
#pragma once

#include "platform/messagebox.h"

#include <QString>
#include <utility>

/// Answers Ok for a lone OK button and Cancel otherwise: nobody is there to agree to anything.
/// The answer comes from the event loop, as a window's would.
class StderrMessageBoxes final : public MessageBoxes {
public:
    /// Each line is "<prefix>: <title>: <text>".
    explicit StderrMessageBoxes(QString prefix) : m_prefix(std::move(prefix)) {}
    void show(const QString& text, const QString& title, Buttons buttons, Icon icon,
              AnswerHandler answered = {}) override;
    int shownCount() const { return m_shown; }

private:
    QString m_prefix;
    int m_shown = 0;
};
