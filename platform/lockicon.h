#pragma once

#include <QString>

class QLabel;
class QPixmap;

/// The lock that tells whether the connection to the chat server is encrypted.
namespace kc {

enum class LockState {
    Offline,   ///< no connection: nothing shown
    Plain,     ///< connected, nothing encrypted: an open lock
    Encrypted, ///< connected inside TLS: a closed lock
};

/// The picture for `state`, `size` pixels square, drawn (no theme needed).
QPixmap lockPixmap(LockState state, int size);

/// Shows `state` on `label`: the picture, an accessible name for screen
/// readers ("Verschlüsselt", "Nicht verschlüsselt", "Nicht verbunden") and a
/// German tooltip, with `detail` as a further paragraph when given.
void showLock(QLabel *label, LockState state, const QString &detail = {});

} // namespace kc
