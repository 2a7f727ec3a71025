#include "statuslabel.h"

#include <QPainter>
#include <QStyle>

StatusLabel::StatusLabel(QWidget *parent)
    : QLabel(parent)
{
}

void StatusLabel::setText(const QString &text)
{
    QLabel::setText(text);
    setToolTip(text);
}

QString StatusLabel::displayedText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

void StatusLabel::paintEvent(QPaintEvent *event)
{
    const QString shown = displayedText();
    if (shown == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                          shown, foregroundRole());
}
