#ifndef STATUSLABEL_H
#define STATUSLABEL_H

#include <QLabel>

// A one-line label that keeps both ends of a text too wide for it in view:
// it draws the text elided in the middle ("UID: 0A 1B … V2.3", "/home/…/fw.kvf"),
// keeps text() whole, and offers the whole text as its tooltip.
class StatusLabel : public QLabel
{
    Q_OBJECT

public:
    explicit StatusLabel(QWidget *parent = nullptr);

    // Hides QLabel::setText so that the tooltip always follows the text.
    void setText(const QString &text);

    // The text as drawn in the label's current width.
    QString displayedText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

#endif // STATUSLABEL_H
