#include "widgets/inputline.h"

#include <QEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QValidator>

#include <algorithm>

namespace kc {

namespace {

const char prefilledProperty[] = "kcPrefilled";

bool isLineBreak(QChar c)
{
    switch (c.unicode()) {
    case u'\n':
    case u'\r':
    case u'\v':
    case u'\f':
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

/// Accepts everything, with the line breaks turned into spaces.
class OneLineValidator : public QValidator
{
public:
    using QValidator::QValidator;

    State validate(QString &input, int &pos) const override
    {
        if (std::none_of(input.cbegin(), input.cend(), isLineBreak))
            return Acceptable;
        pos = static_cast<int>(joinLineBreaks(input.left(pos)).size());
        input = joinLineBreaks(input);
        return Acceptable;
    }
};

bool untouchedPrefill(const QLineEdit *edit)
{
    const QVariant prefilled = edit->property(prefilledProperty);
    return prefilled.isValid() && !edit->isModified() && edit->text() == prefilled.toString();
}

/// True when `event` would put text into a line edit: a printable key, a
/// paste, or text committed by an input method.
bool insertsText(const QEvent *event)
{
    if (event->type() == QEvent::InputMethod)
        return !static_cast<const QInputMethodEvent *>(event)->commitString().isEmpty();
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<const QKeyEvent *>(event);
    if (key->matches(QKeySequence::Paste))
        return true;
    const QString text = key->text();
    return !text.isEmpty() && text.front().isPrint();
}

/// Selects the pre-filled text once the field has taken focus (after a mouse
/// press has placed the cursor, which would undo an earlier selection), and
/// again just before anything is typed or pasted into it: however the field
/// got focus and wherever the cursor stands, what is typed replaces it.
class PrefillSelector : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::FocusIn) {
            QPointer<QLineEdit> edit = qobject_cast<QLineEdit *>(watched);
            QTimer::singleShot(0, this, [edit] {
                if (edit && untouchedPrefill(edit))
                    edit->selectAll();
            });
        } else if (insertsText(event)) {
            auto *edit = qobject_cast<QLineEdit *>(watched);
            if (edit && untouchedPrefill(edit))
                edit->selectAll();
        }
        return false;
    }
};

} // namespace

QString joinLineBreaks(const QString &text)
{
    QString joined;
    joined.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!isLineBreak(c)) {
            joined += c;
            continue;
        }
        joined += u' ';
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
    }
    return joined;
}

void makeInputLine(QLineEdit *edit)
{
    edit->setValidator(new OneLineValidator(edit));
    edit->setProperty(prefilledProperty, edit->text());
    edit->installEventFilter(new PrefillSelector(edit));
}

std::optional<QString> lineToSend(const QLineEdit *edit)
{
    if (untouchedPrefill(edit))
        return std::nullopt;
    const QString line = joinLineBreaks(edit->text());
    if (line.trimmed().isEmpty())
        return std::nullopt;
    return line;
}

} // namespace kc
