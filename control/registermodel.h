/// @brief The eight FPGA register values as shown (decimal and hex captions), "???" until read.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <optional>

class RegisterModel : public QObject {
    Q_OBJECT
public:
    static constexpr int Count = 8;
    static QString name(int index);

    using QObject::QObject;

    /// Stores the value as shown (already reduced for registers 5 and 6).
    void setShownValue(int index, int value);
    std::optional<int> value(int index) const { return m_values.at(index); }
    QString decimalCaption(int index) const;
    QString hexCaption(int index) const;

signals:
    void valueChanged(int index);

private:
    std::array<std::optional<int>, Count> m_values{};
};
