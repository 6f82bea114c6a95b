/// @brief The FPGA and network-module version captions.
#pragma once

#include <QObject>
#include <QString>

class VersionModel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QString fpgaCaption() const { return m_fpga; }
    QString rabbitCaption() const { return m_rabbit; }
    void setCaptions(const QString& fpga, const QString& rabbit)
    {
        m_fpga = fpga;
        m_rabbit = rabbit;
        emit changed();
    }

signals:
    void changed();

private:
    QString m_fpga = QStringLiteral("FPGA ???");
    QString m_rabbit = QStringLiteral("Rabbit ???");
};
