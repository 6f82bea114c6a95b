/// @brief Message boxes as a seam, so that logic that must ask or warn the operator stays testable.
#pragma once

#include <QString>
#include <functional>

/// A box is modal to the operator but never to the program: show() returns at once, and the
/// socket, the timers and the decoder go on while the box is up. Whatever depends on the answer
/// goes into the handler, which may find the world changed by then.
class MessageBoxes {
public:
    enum class Buttons { Ok, OkCancel, YesNoCancel };
    enum class Icon { None, Critical, Question, Exclamation, Information };
    enum class Answer { Ok, Cancel, Yes, No };
    using AnswerHandler = std::function<void(Answer)>;

    virtual ~MessageBoxes() = default;
    /// `answered` runs once with the button pressed (closing the box counts as Cancel, or Ok for
    /// a lone OK), from the event loop; it never runs if the box goes away unanswered.
    virtual void show(const QString& text, const QString& title, Buttons buttons, Icon icon,
                      AnswerHandler answered = {}) = 0;
};
