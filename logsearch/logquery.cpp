#include "logsearch/logquery.h"

namespace logsearch {

namespace {

/// More than anybody types; a pasted page is cut here.
constexpr int kMaxInput = 500;
constexpr int kMaxTerms = 20;

bool isMark(char32_t c)
{
    const auto category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
           || category == QChar::Mark_Enclosing;
}

bool isWordChar(char32_t c)
{
    return QChar::isLetterOrNumber(c) || isMark(c);
}

/// The Latin letters whose diacritics the tokenizer drops.
bool isLatin(char32_t c)
{
    return c < 0x0250 || (c >= 0x1E00 && c <= 0x1EFF);
}

struct Term
{
    QString text;
    bool phrase = false;
    bool closed = false;
};

/// The words of `text` in order, as [start, end) pairs.
QList<TextRange> words(const QString &text)
{
    QList<TextRange> found;
    qsizetype i = 0;
    const qsizetype size = text.size();
    while (i < size) {
        const qsizetype start = i;
        char32_t c = text[i].unicode();
        qsizetype step = 1;
        if (text[i].isHighSurrogate() && i + 1 < size && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            step = 2;
        }
        if (!isWordChar(c)) {
            i += step;
            continue;
        }
        i += step;
        while (i < size) {
            char32_t d = text[i].unicode();
            qsizetype next = 1;
            if (text[i].isHighSurrogate() && i + 1 < size && text[i + 1].isLowSurrogate()) {
                d = QChar::surrogateToUcs4(text[i], text[i + 1]);
                next = 2;
            }
            if (!isWordChar(d))
                break;
            i += next;
        }
        found.push_back({static_cast<int>(start), static_cast<int>(i - start)});
    }
    return found;
}

} // namespace

QString fold(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(decomposed.size());
    char32_t base = 0;
    for (const char32_t c : decomposed.toUcs4()) {
        if (isMark(c)) {
            if (isLatin(base))
                continue;
        } else {
            base = c;
        }
        out += QString::fromUcs4(&c, 1);
    }
    return out.toCaseFolded();
}

LogQuery parseQuery(const QString &input)
{
    QString text = input.left(kMaxInput);
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';

    QList<Term> terms;
    Term current;
    bool inQuote = false;
    const auto finish = [&](bool closed) {
        current.closed = closed;
        if (!current.text.trimmed().isEmpty() || current.phrase)
            terms.push_back(current);
        current = Term();
    };
    for (const QChar c : text) {
        if (c == u'"') {
            if (inQuote) {
                finish(true);
            } else {
                if (!current.text.isEmpty())
                    finish(false);
                current.phrase = true;
            }
            inQuote = !inQuote;
        } else if (c.isSpace() && !inQuote) {
            if (!current.text.isEmpty())
                finish(true);
        } else {
            current.text += c;
        }
    }
    const bool trailingBlank = !text.isEmpty() && text.back().isSpace() && !inQuote;
    if (!current.text.isEmpty() || current.phrase)
        finish(false);

    LogQuery query;
    QStringList parts;
    for (qsizetype t = 0; t < terms.size() && parts.size() < kMaxTerms; ++t) {
        const Term &term = terms[t];
        const QList<TextRange> found = words(term.text);
        if (found.isEmpty())
            continue;
        const bool prefix = t == terms.size() - 1 && !term.closed && !trailingBlank;
        // Only the words go to the index: whatever else the term held is
        // what the tokenizer would drop anyway.
        QStringList termWords;
        for (const TextRange &word : found) {
            termWords << term.text.mid(word.start, word.length);
            query.words.push_back({fold(termWords.back()), false});
        }
        query.words.back().prefix = prefix;
        QString quoted = QLatin1Char('"') + termWords.join(u' ') + QLatin1Char('"');
        if (prefix)
            quoted += QStringLiteral(" *");
        parts << quoted;
    }
    query.match = parts.join(u' ');
    return query;
}

QList<TextRange> markedWords(const QString &text, const QList<QueryWord> &wanted)
{
    QList<TextRange> marked;
    if (wanted.isEmpty())
        return marked;
    for (const TextRange &word : words(text)) {
        const QString folded = fold(text.mid(word.start, word.length));
        for (const QueryWord &query : wanted) {
            if (folded == query.folded || (query.prefix && folded.startsWith(query.folded))) {
                marked.push_back(word);
                break;
            }
        }
    }
    return marked;
}

} // namespace logsearch
