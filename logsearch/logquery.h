#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace logsearch {

/// One word of a query as the index compares it: folded (see fold()), and
/// whether a longer word that starts with it counts as well.
struct QueryWord
{
    QString folded;
    bool prefix = false;
    bool operator==(const QueryWord &) const = default;
};

/// What the user typed, made safe for the index. `match` is an FTS5 query in
/// which every term the user gave is a quoted string, so nothing typed is
/// ever taken as query syntax (operators, columns, `*`, `NEAR`, `^`); empty
/// when the input holds nothing to find.
struct LogQuery
{
    QString match;
    /// The words to mark in a found line.
    QList<QueryWord> words;
    bool isEmpty() const { return match.isEmpty(); }
};

/// Reads a query as the user types it: words separated by blanks, all of
/// which must occur in a line; text between double quotes is a phrase whose
/// words must follow each other (a quote left open runs to the end). Unless
/// the input ends in a blank or a closing quote, its last word is a prefix,
/// so that results come while a word is still being typed. Controls count as
/// blanks; a term without a letter or digit is dropped.
LogQuery parseQuery(const QString &input);

/// `text` as the index compares words: lower case (simple case folding) and
/// without diacritics on Latin letters ("Küche" and "KUCHE" both give
/// "kuche"), as the FTS5 tokenizer unicode61 with remove_diacritics 2 does.
QString fold(const QString &text);

/// A stretch of a text: where it starts, and how many UTF-16 units it has.
struct TextRange
{
    int start = 0;
    int length = 0;
    bool operator==(const TextRange &) const = default;
};

/// The words of `text` that `words` find, in text order; a word is a run of
/// letters, digits and combining marks, as the index's tokenizer cuts them.
QList<TextRange> markedWords(const QString &text, const QList<QueryWord> &words);

} // namespace logsearch
