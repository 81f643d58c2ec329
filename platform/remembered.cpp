#include "platform/remembered.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QWidget>

#include <algorithm>
#include <memory>

namespace kc::remembered {

namespace {

std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kestrelon"),
                                       QStringLiteral("Kestrelon Chat"));
}

QString placeKey(const QString &key)
{
    return QStringLiteral("Fenster/") + key;
}

} // namespace

QVariant value(const QString &key)
{
    return store()->value(key);
}

void setValue(const QString &key, const QVariant &value)
{
    store()->setValue(key, value);
}

void forgetAll()
{
    store()->clear();
}

bool restorePlace(QWidget *window, const QString &key)
{
    const QRect place = store()->value(placeKey(key)).toRect();
    if (!place.isValid())
        return false;
    // A screen that is gone since must not take the window with it.
    const QList<QScreen *> screens = QGuiApplication::screens();
    const bool visible = std::any_of(screens.begin(), screens.end(), [&](const QScreen *screen) {
        return screen->availableGeometry().intersects(place);
    });
    if (!visible)
        return false;
    window->move(place.topLeft());
    if (window->minimumSize() != window->maximumSize())
        window->resize(place.size());
    return true;
}

void rememberPlace(const QWidget *window, const QString &key)
{
    setValue(placeKey(key), QRect(window->pos(), window->size()));
}

} // namespace kc::remembered
