#include "platform/lockicon.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kc {

QPixmap lockPixmap(LockState state, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    if (state == LockState::Offline)
        return pixmap;
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool closed = state == LockState::Encrypted;
    const QColor body = closed ? QColor(0x1E, 0x7B, 0x34) : QColor(0xB0, 0x3A, 0x2E);
    const qreal s = size;
    // Shackle: an arch above the body; open, it stands up on the right.
    QPen pen(body, s * 0.13);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF arch(s * 0.28, s * (closed ? 0.08 : 0.0), s * 0.44, s * 0.5);
    QPainterPath shackle;
    shackle.moveTo(arch.left(), s * (closed ? 0.48 : 0.3));
    shackle.lineTo(arch.left(), arch.top() + arch.width() / 2);
    shackle.arcTo(QRectF(arch.left(), arch.top(), arch.width(), arch.width()), 180, -180);
    shackle.lineTo(arch.right(), s * (closed ? 0.48 : 0.2));
    painter.translate(closed ? 0 : s * 0.16, 0);
    painter.drawPath(shackle);
    painter.resetTransform();
    // Body with a keyhole.
    painter.setPen(Qt::NoPen);
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(s * 0.16, s * 0.45, s * 0.68, s * 0.5), s * 0.08, s * 0.08);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(s * 0.5, s * 0.65), s * 0.07, s * 0.07);
    painter.drawRect(QRectF(s * 0.47, s * 0.67, s * 0.06, s * 0.15));
    return pixmap;
}

void showLock(QLabel *label, LockState state, const QString &detail)
{
    QString name;
    QString tip;
    switch (state) {
    case LockState::Offline:
        name = QStringLiteral("Nicht verbunden");
        tip = QStringLiteral("Nicht mit einem Server verbunden.");
        break;
    case LockState::Plain:
        name = QStringLiteral("Nicht verschlüsselt");
        tip = QStringLiteral("Die Verbindung zum Server ist nicht verschlüsselt: "
                             "wer im Netz mithört, kann mitlesen.");
        break;
    case LockState::Encrypted:
        name = QStringLiteral("Verschlüsselt");
        tip = QStringLiteral("Die Verbindung zum Server ist verschlüsselt (TLS 1.3).");
        break;
    }
    if (!detail.isEmpty())
        tip += QStringLiteral("\n") + detail;
    label->setPixmap(lockPixmap(state, 16));
    label->setFixedSize(18, 18);
    label->setAccessibleName(name);
    label->setAccessibleDescription(tip);
    label->setToolTip(tip);
}

} // namespace kc
