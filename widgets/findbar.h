#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QToolButton;

namespace kc {

class LineView;

/// The find bar below a LineView (Ctrl+F): what is typed is marked in every
/// line that holds it, and the view goes to the newest such line. Return or
/// "▲" goes to the next older line, Shift+Return or "▼" to the next newer
/// one, round at either end; Escape closes the bar and clears the marks.
class FindBar : public QWidget
{
    Q_OBJECT
public:
    explicit FindBar(LineView *view);

    /// Shows the bar with the keyboard in its field, its text selected.
    void open();
    /// Hides the bar, clears the marks and gives the keyboard back to the view.
    void close();

    QLineEdit *edit() const { return m_edit; }
    /// "3 von 12", "nicht gefunden" or nothing.
    QString countText() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void find(bool older);
    void showCount();

    LineView *m_view;
    QLineEdit *m_edit;
    QToolButton *m_older;
    QToolButton *m_newer;
    QToolButton *m_close;
    QLabel *m_count;
};

} // namespace kc
