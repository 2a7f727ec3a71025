#ifndef PORTCOMBOBOX_H
#define PORTCOMBOBOX_H

#include <QComboBox>

// The port list, which tells when it is about to open so that the ports can be
// listed afresh: an adapter plugged in after start-up shows up without a restart.
class PortComboBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override;

signals:
    void aboutToShowPopup();
};

#endif // PORTCOMBOBOX_H
