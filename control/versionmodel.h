/// @brief The FPGA and network-module version captions, as the decoder's version replies set them.
#pragma once

#include "link/decoderoutput.h"

#include <QObject>
#include <QString>

class VersionModel : public QObject, public VersionReplies {
    Q_OBJECT
public:
    using QObject::QObject;
    QString fpgaCaption() const { return m_fpga; }
    QString rabbitCaption() const { return m_rabbit; }
    void versionReplied(const QString& fpga, const QString& rabbit) override
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
