#include "browser/FilterBox.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

namespace v7
{

FilterBox::FilterBox(QWidget *parent)
    : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // The inline completer would turn a typed "D" into a listed "DSC" before Enter.
    setCompleter(nullptr);
    lineEdit()->installEventFilter(this);
    // The box's own activation also fires on Enter, on focus loss and on the arrow
    // keys when the text matches an entry; only a choice from the drop-down counts.
    connect(this, qOverload<int>(&QComboBox::activated), this, [this] {
        if (!m_popupChoice)
            return;
        m_popupChoice = false;
        Q_EMIT filterEntered();
    });
}

void FilterBox::showPopup()
{
    m_popupChoice = true;
    QComboBox::showPopup();
}

void FilterBox::hidePopup()
{
    QComboBox::hidePopup();
    // The choice, if any, is reported in the same event that closes the drop-down.
    QTimer::singleShot(0, this, [this] {
        if (!view()->isVisible())
            m_popupChoice = false;
    });
}

bool FilterBox::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Taken here, so the box does not also activate a matching entry.
            Q_EMIT filterEntered();
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

// The box holds the focus for its line edit and hands it keys directly, past
// the line edit's event filters: Enter is taken here as well.
void FilterBox::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        Q_EMIT filterEntered();
        return;
    }
    QComboBox::keyPressEvent(event);
}

} // namespace v7
