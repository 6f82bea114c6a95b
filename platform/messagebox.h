/// @brief Modal message boxes as a seam, so that logic that must ask or warn the operator stays testable.
#pragma once

#include <QString>

class MessageBoxes {
public:
    enum class Buttons { Ok, OkCancel, YesNoCancel };
    enum class Icon { None, Critical, Question, Exclamation, Information };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~MessageBoxes() = default;
    /// Modal; returns the button pressed (closing the box counts as Cancel, or Ok for a lone OK).
    virtual Answer show(const QString& text, const QString& title, Buttons buttons, Icon icon) = 0;
};
