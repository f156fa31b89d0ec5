// The filter box (Txt_Filter): an editable drop-down of the filters entered before.
// It applies exactly what the user typed, once: on Enter, or when an entry is chosen
// from the drop-down. It completes nothing as the user types, and neither losing the
// focus nor stepping through the entries with the arrow keys applies a filter.
//
// Threads: user-interface thread only.
#pragma once

#include <QComboBox>

namespace v7
{

class FilterBox : public QComboBox
{
    Q_OBJECT
public:
    explicit FilterBox(QWidget *parent = nullptr);

    void showPopup() override;
    void hidePopup() override;

Q_SIGNALS:
    // Enter in the box, or a choice from the drop-down: text() is the filter to apply.
    void filterEntered();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool m_popupChoice = false; // the drop-down is open, or has just closed
};

} // namespace v7
