#pragma once

#include <QLabel>

namespace kc {

/// A plain-text label that takes only the width its layout gives it: a text
/// too long for it is shortened in its middle ("…"), and shows whole as its
/// tooltip. It never asks its window for more room.
class ElidedLabel : public QLabel
{
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    const QString &fullText() const { return m_fullText; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();

    QString m_fullText;
};

} // namespace kc
