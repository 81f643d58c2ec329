#pragma once

#include <QString>

#include <optional>

class QLineEdit;

namespace kc {

/// `text` as one line: every line break (CR LF, CR, LF, vertical tab, form
/// feed, NEL, line and paragraph separator) becomes one space.
QString joinLineBreaks(const QString &text);

/// Makes `edit` a one-line input: pasted line breaks turn into spaces as they
/// arrive, and the text it holds now counts as pre-filled: while the field
/// still holds it untouched, it is selected whenever the field takes focus
/// and before anything is typed or pasted, so that typing replaces it.
void makeInputLine(QLineEdit *edit);

/// What sending the input line `edit` sends: its text as one line; nothing
/// when it is blank or still the untouched pre-filled text.
std::optional<QString> lineToSend(const QLineEdit *edit);

} // namespace kc
