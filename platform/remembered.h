#pragma once

#include <QString>
#include <QVariant>

class QWidget;

/// What the program remembers between starts: the user's choices and the
/// windows' places, in the user's configuration folder (Qt settings, under
/// the program's name).
namespace kc::remembered {

/// The value stored under `key`, or an invalid QVariant when none is.
QVariant value(const QString &key);
void setValue(const QString &key, const QVariant &value);

/// Forgets everything remembered.
void forgetAll();

/// Puts `window` where it was when remembered under `key`; false (and the
/// window untouched) when no place was remembered or it lies off every screen.
bool restorePlace(QWidget *window, const QString &key);
/// Remembers where `window` is, under `key`.
void rememberPlace(const QWidget *window, const QString &key);

} // namespace kc::remembered
