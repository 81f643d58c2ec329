#pragma once

class QCoreApplication;
class QTranslator;

namespace kc {

/// Loads Qt's own German texts (Debian's qt6-translations-l10n), so that the
/// standard dialogs (colour, open, save, Yes/No) speak the program's language.
/// Returns the translator installed (owned by `application`), or nullptr when
/// they are not installed; the dialogs then stay in English.
QTranslator *installGermanTranslations(QCoreApplication &application);

} // namespace kc
